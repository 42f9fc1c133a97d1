// The text form of AppParam: splitting at spaces and quotes, then the
// command-line rules. The first byte is the prefix, the rest the text.
#include <vor/basic/appparam.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

using namespace Vor;

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size)
{
    if (size == 0)
        return 0;
    char prefix = static_cast<char>(data[0]);
    std::string text(reinterpret_cast<char const*>(data + 1), size - 1);

    Basic::AppParam* params = new Basic::AppParam;
    Core::Guard<Basic::AppParam> guard(params);
    params->DecRef();

    // Words are at least one byte and a name takes one word: the count can
    // never pass the text's length (the text ends at its first NUL).
    unsigned int added = params->AddParam(text.c_str(), prefix);
    if (added == Basic::AppParam::INVALID_COUNT || added > text.size())
        std::abort();
    // Parsing again adds nothing new.
    if (params->AddParam(text.c_str(), prefix) != 0)
        std::abort();

    // The wide form splits and parses the same way but keeps nothing.
    std::wstring wide;
    for (char c : text)
        wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
    if (params->AddParam(wide.c_str(), static_cast<wchar_t>(static_cast<unsigned char>(prefix))) != 0)
        std::abort();
    return 0;
}
