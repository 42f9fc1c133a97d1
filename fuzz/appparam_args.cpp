// The command-line form of AppParam. The first byte is the prefix; the
// rest is cut at NUL bytes into the elements, and an element made of the
// single byte 0x01 stands for a null pointer.
#include <vor/basic/appparam.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

using namespace Vor;

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size)
{
    if (size == 0)
        return 0;
    char prefix = static_cast<char>(data[0]);
    std::vector<std::string> elements(1);
    for (std::size_t i = 1; i < size; ++i) {
        if (data[i] == 0)
            elements.emplace_back();
        else
            elements.back().push_back(static_cast<char>(data[i]));
    }
    std::vector<char*> argv;
    for (auto& e : elements)
        argv.push_back(e == "\x01" ? nullptr : &e[0]);

    Basic::AppParam* params = new Basic::AppParam;
    Core::Guard<Basic::AppParam> guard(params);
    params->DecRef();

    int count = static_cast<int>(argv.size());
    unsigned int added = params->AddParam(count, argv.data(), prefix);
    if (count < 2 ? added != 0 : added > static_cast<unsigned int>(count - 1))
        std::abort();
    // Every element that names a parameter is found afterwards.
    for (int i = 1; i < count; ++i) {
        char const* e = argv[i];
        if (e == nullptr || e[0] != prefix || prefix == 0)
            continue;
        while (*e == prefix)
            ++e;
        if (*e != 0 && !params->HasParam(e))
            std::abort();
    }
    // A shorter count only ever looks at fewer elements.
    if (count > 2)
        params->AddParam(count - 1, argv.data(), prefix);
    return 0;
}
