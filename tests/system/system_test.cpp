#include <vor/system/system.h>

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <utility>

using namespace Vor;

namespace {

// Checks `convert` on each text in its narrow and its wide form.
template <class T, class Convert>
void ExpectConversions(Convert convert, std::initializer_list<std::pair<char const*, T>> cases)
{
    for (auto const& c : cases) {
        std::string narrow(c.first);
        EXPECT_EQ(convert(narrow.c_str()), c.second) << narrow;
        EXPECT_EQ(convert(std::wstring(narrow.begin(), narrow.end()).c_str()), c.second) << narrow << " (wide)";
    }
}

} // namespace

TEST(SystemTest, TextToNumberSaturatesAtTheRangeOfTheResult)
{
    ExpectConversions<int>([](auto text) { return System::Str2Int32(text); },
                           {{"3000000000", INT_MAX}, {"-3000000000", INT_MIN}, {"99999999999999999999999", INT_MAX},
                            {"2147483647", INT_MAX}, {"-2147483648", INT_MIN}, {"  -42abc", -42}, {"", 0}, {"abc", 0}});
    ExpectConversions<unsigned int>([](auto text) { return System::Str2Uint32(text); },
                                    {{"4294967296", UINT_MAX}, {"18446744073709551615", UINT_MAX}, {"-1", UINT_MAX},
                                     {" -5", 4294967291u}, {"-4294967295", 1u}, {"-4294967296", UINT_MAX}, {"-0", 0u},
                                     {"-", 0u}});
    ExpectConversions<long long>([](auto text) { return System::Str2Int64(text); },
                                 {{"9223372036854775808", LLONG_MAX}, {"-9223372036854775808", LLONG_MIN},
                                  {"-9223372036854775809", LLONG_MIN}});
    ExpectConversions<unsigned long long>([](auto text) { return System::Str2Uint64(text); },
                                          {{"18446744073709551615", ULLONG_MAX}, {"18446744073709551616", ULLONG_MAX}});
    EXPECT_EQ(System::Str2Int32(static_cast<char const*>(nullptr)), 0);
    EXPECT_EQ(System::Str2Uint64(static_cast<wchar_t const*>(nullptr)), 0u);
}

TEST(SystemTest, NumberToTextPadsToTheWidthUpToTheResultLimits)
{
    // Narrow 32-bit results hold 15 characters, wide 32-bit and narrow
    // 64-bit ones 31, wide 64-bit ones 63; a wider field gives "".
    std::pair<std::string, std::string> const narrow[] = {
        {System::Int2Str32A(-5, 4), "-005"}, {System::Uint2Str32A(1234, 2), "1234"},
        {System::Uint2Str32A(1, 15), std::string(14, '0') + "1"}, {System::Uint2Str32A(1, 16), ""},
        {System::Int2Str32A(-1, 15), "-" + std::string(13, '0') + "1"}, {System::Int2Str32A(-1, 16), ""},
        {System::Uint2Str64A(ULLONG_MAX, 31), std::string(11, '0') + "18446744073709551615"},
        {System::Uint2Str64A(1, 32), ""}, {System::Int2Str64A(-1, 32), ""}, {System::Uint2Str64A(1, 0xFFFFFFFFu), ""},
        {System::Int2Str32A(INT_MIN), "-2147483648"}, {System::Int2Str64A(LLONG_MIN), "-9223372036854775808"},
        {System::Num2Str<char, unsigned int>(42, 0), "42"}};
    for (auto const& c : narrow)
        EXPECT_EQ(c.first, c.second);
    std::pair<std::wstring, std::wstring> const wide[] = {
        {System::Uint2Str32W(1, 31), std::wstring(30, L'0') + L"1"}, {System::Uint2Str32W(1, 32), L""},
        {System::Int2Str32W(1, 32), L""}, {System::Int2Str64W(-1, 63), L"-" + std::wstring(61, L'0') + L"1"},
        {System::Uint2Str64W(1, 64), L""}, {System::Int2Str64W(1, 0x80000000u), L""},
        {System::Int2Str64W(LLONG_MAX), L"9223372036854775807"},
        {System::Num2Str<wchar_t, unsigned long long>(42, 5), L"00042"}};
    for (auto const& c : wide)
        EXPECT_EQ(c.first, c.second);
}
