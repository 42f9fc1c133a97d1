// The calling thread's last system error code.
#pragma once

namespace Vor {
namespace Platform {

// The error code of the last failing system call on this thread (errno).
int LastError();
void SetLastError(int code);

} // namespace Platform
} // namespace Vor
