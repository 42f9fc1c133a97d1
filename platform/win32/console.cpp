#include "platform/console.h"
#include "platform/win32/native.h"

#include <cerrno>
#include <io.h>

namespace Vor {
namespace Platform {

// Through the C runtime's descriptor 2 rather than the standard error
// handle, so that a program (or a test) that redirected descriptor 2 with
// _dup2 receives the lines.
void WriteStandardError(char const* text, std::size_t size)
{
    DWORD saved = ::GetLastError(); // a diagnostic must not disturb the error it reports
    int savedErrno = errno;
    while (size > 0) {
        unsigned int chunk = size > 0x10000000u ? 0x10000000u : static_cast<unsigned int>(size);
        int n = _write(2, text, chunk);
        if (n <= 0)
            break;
        text += n;
        size -= static_cast<std::size_t>(n);
    }
    errno = savedErrno;
    ::SetLastError(saved);
}

} // namespace Platform
} // namespace Vor
