// The calling thread's last system error code.
#pragma once

#include "platform/export.h"

namespace Vor {
namespace Platform {

// The error code of the last failing system call on this thread (errno).
VOR_PLATFORM_API int LastError();
VOR_PLATFORM_API void SetLastError(int code);

} // namespace Platform
} // namespace Vor
