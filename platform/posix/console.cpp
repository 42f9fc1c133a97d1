#include "platform/console.h"

#include <cerrno>
#include <unistd.h>

namespace Vor {
namespace Platform {

void WriteStandardError(char const* text, std::size_t size)
{
    int saved = errno; // a diagnostic must not disturb the error it reports
    while (size > 0) {
        ssize_t n = write(STDERR_FILENO, text, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        text += n;
        size -= static_cast<std::size_t>(n);
    }
    errno = saved;
}

} // namespace Platform
} // namespace Vor
