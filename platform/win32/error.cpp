#include "platform/error.h"
#include "platform/win32/native.h"

// Windows keeps one last-error value per thread for the kernel and for
// Windows Sockets alike (WSAGetLastError reads the same value), so the
// library's error is that value, not the C runtime's errno.

namespace Vor {
namespace Platform {

int LastError() { return static_cast<int>(::GetLastError()); }

void SetLastError(int code) { ::SetLastError(static_cast<DWORD>(code)); }

} // namespace Platform
} // namespace Vor
