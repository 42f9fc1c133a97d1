// Text-to-number conversions, narrow and wide, and their agreement with
// each other and with the number-to-text forms.
#include <vor/system/system.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

using namespace Vor;

namespace {

void Check(bool condition)
{
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size)
{
    std::string text(reinterpret_cast<char const*>(data), size);
    std::wstring wide;
    for (char c : text)
        wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));

    int i32 = System::Str2Int32(text.c_str());
    unsigned int u32 = System::Str2Uint32(text.c_str());
    long long i64 = System::Str2Int64(text.c_str());
    unsigned long long u64 = System::Str2Uint64(text.c_str());

    // The 32-bit signed form is the 64-bit one clamped to 32 bits.
    long long clamped = i64 > INT_MAX ? INT_MAX : i64 < INT_MIN ? INT_MIN : i64;
    Check(i32 == clamped);
    // The unsigned forms agree wherever the value is non-negative.
    if (i64 >= 0 && i64 < LLONG_MAX)
        Check(u64 == static_cast<unsigned long long>(i64) && u32 == (u64 > UINT_MAX ? UINT_MAX : u64));

    // Bytes below 0x80 mean the same wide.
    bool ascii = true;
    for (char c : text)
        ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (ascii) {
        Check(System::Str2Int32(wide.c_str()) == i32);
        Check(System::Str2Uint32(wide.c_str()) == u32);
        Check(System::Str2Int64(wide.c_str()) == i64);
        Check(System::Str2Uint64(wide.c_str()) == u64);
    } else {
        System::Str2Int32(wide.c_str());
        System::Str2Uint32(wide.c_str());
    }

    // Back to text and again to the same number, at any width the limit
    // allows; beyond it, nothing.
    unsigned int width = size > 0 ? data[0] % 70 : 0;
    std::string a = System::Int2Str32A(i32, width);
    Check(width > 15 ? a.empty() : System::Str2Int32(a.c_str()) == i32 && a.size() >= width);
    std::string b = System::Uint2Str64A(u64, width);
    Check(width > 31 ? b.empty() : System::Str2Uint64(b.c_str()) == u64 && b.size() >= width);
    std::wstring c = System::Int2Str64W(i64, width);
    Check(width > 63 ? c.empty() : System::Str2Int64(c.c_str()) == i64 && c.size() >= width);
    std::wstring d = System::Uint2Str32W(u32, width);
    Check(width > 31 ? d.empty() : System::Str2Uint32(d.c_str()) == u32);
    return 0;
}
