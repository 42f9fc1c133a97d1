#include "platform/error.h"

#include <cerrno>

namespace Vor {
namespace Platform {

int LastError() { return errno; }

void SetLastError(int code) { errno = code; }

} // namespace Platform
} // namespace Vor
