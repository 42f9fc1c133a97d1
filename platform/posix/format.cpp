#include "platform/format.h"

namespace Vor {
namespace Platform {

// glibc streams every field: nothing to refuse.
bool FormatFieldsFit(char const*, std::va_list) { return true; }
bool FormatFieldsFit(wchar_t const*, std::va_list) { return true; }

} // namespace Platform
} // namespace Vor
