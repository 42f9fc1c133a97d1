#include <vor/system/system.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <ctime>
#include <string>

using namespace Vor;

namespace {

unsigned long long WallNowMs()
{
    using namespace std::chrono;
    return static_cast<unsigned long long>(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
}

} // namespace

TEST(SystemTime, GetTime64CountsMillisecondsSinceTheEpoch)
{
    unsigned long long before = WallNowMs();
    unsigned long long now = System::GetTime64();
    unsigned long long after = WallNowMs();
    EXPECT_GE(now + 1, before);
    EXPECT_LE(now, after + 1);
    // GetTime is the low half, read a moment later.
    EXPECT_LE(System::GetTime() - static_cast<unsigned int>(now), 1000u);
}

TEST(SystemTime, GetDateMatchesTheLocalCalendar)
{
    std::time_t t = std::time(nullptr);
    std::tm local;
    localtime_r(&t, &local);
    System::DateInfo date = System::GetDate();
    EXPECT_EQ(date.year, static_cast<unsigned int>(local.tm_year + 1900));
    EXPECT_EQ(date.month, static_cast<unsigned int>(local.tm_mon + 1));
    EXPECT_EQ(date.weekDay, static_cast<unsigned int>(local.tm_wday));
}

TEST(SystemServices, GetErrorReportsTheLastFailure)
{
    EXPECT_EQ(std::fopen("/nonexistent-folder/for/vor", "r"), nullptr);
    EXPECT_EQ(System::GetError(), static_cast<unsigned int>(ENOENT));
}

TEST(SystemServices, SocketStartUpAndByteOrder)
{
    EXPECT_TRUE(System::Init());
    EXPECT_TRUE(System::UnInit());
    EXPECT_TRUE(System::IsLittleEndian());
}

TEST(SystemSleep, SleepsAtLeastTheTimeAndZeroAsOneMillisecond)
{
    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(System::Sleep(0));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1));
    start = std::chrono::steady_clock::now();
    EXPECT_TRUE(System::Sleep(20));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));
}

TEST(TextToNumber, Int32SaturatesAtThe32BitRange)
{
    EXPECT_EQ(System::Str2Int32("3000000000"), INT_MAX);
    EXPECT_EQ(System::Str2Int32("-3000000000"), INT_MIN);
    EXPECT_EQ(System::Str2Int32("99999999999999999999999"), INT_MAX);
    EXPECT_EQ(System::Str2Int32("2147483647"), INT_MAX);
    EXPECT_EQ(System::Str2Int32("-2147483648"), INT_MIN);
    EXPECT_EQ(System::Str2Int32("  -42abc"), -42);
    EXPECT_EQ(System::Str2Int32(L"3000000000"), INT_MAX);
    EXPECT_EQ(System::Str2Int32(L"-17"), -17);
}

TEST(TextToNumber, Uint32KeepsThe32BitRules)
{
    EXPECT_EQ(System::Str2Uint32("4294967295"), 4294967295u);
    EXPECT_EQ(System::Str2Uint32("4294967296"), 4294967295u);
    EXPECT_EQ(System::Str2Uint32("18446744073709551615"), 4294967295u);
    EXPECT_EQ(System::Str2Uint32("99999999999999999999999"), 4294967295u);
    EXPECT_EQ(System::Str2Uint32("-1"), 4294967295u);
    EXPECT_EQ(System::Str2Uint32(" -5"), 4294967291u);
    EXPECT_EQ(System::Str2Uint32("-4294967295"), 1u);
    EXPECT_EQ(System::Str2Uint32("-4294967296"), 4294967295u);
    EXPECT_EQ(System::Str2Uint32("-0"), 0u);
    EXPECT_EQ(System::Str2Uint32(L"4294967296"), 4294967295u);
    EXPECT_EQ(System::Str2Uint32(L"-1"), 4294967295u);
    EXPECT_EQ(System::Str2Uint32(L"123"), 123u);
}

TEST(TextToNumber, SixtyFourBitExtremesSaturate)
{
    EXPECT_EQ(System::Str2Uint64("18446744073709551615"), ULLONG_MAX);
    EXPECT_EQ(System::Str2Uint64("18446744073709551616"), ULLONG_MAX);
    EXPECT_EQ(System::Str2Int64("9223372036854775807"), LLONG_MAX);
    EXPECT_EQ(System::Str2Int64("9223372036854775808"), LLONG_MAX);
    EXPECT_EQ(System::Str2Int64("-9223372036854775808"), LLONG_MIN);
    EXPECT_EQ(System::Str2Int64("-9223372036854775809"), LLONG_MIN);
    EXPECT_EQ(System::Str2Int64(L"-9223372036854775809"), LLONG_MIN);
    EXPECT_EQ(System::Str2Uint64(L"42"), 42ull);
}

TEST(TextToNumber, TextWithoutDigitsAndNullGiveZero)
{
    EXPECT_EQ(System::Str2Int32(""), 0);
    EXPECT_EQ(System::Str2Int32("abc"), 0);
    EXPECT_EQ(System::Str2Uint32("-"), 0u);
    EXPECT_EQ(System::Str2Int32(static_cast<char const*>(nullptr)), 0);
    EXPECT_EQ(System::Str2Uint32(static_cast<wchar_t const*>(nullptr)), 0u);
    EXPECT_EQ(System::Str2Int64(static_cast<char const*>(nullptr)), 0);
    EXPECT_EQ(System::Str2Uint64(static_cast<wchar_t const*>(nullptr)), 0u);
}

TEST(NumberToText, PadsWithZerosToTheWidth)
{
    EXPECT_EQ(System::Uint2Str32A(7, 3), "007");
    EXPECT_EQ(System::Int2Str32A(-5, 4), "-005");
    EXPECT_EQ(System::Uint2Str32A(1234, 0), "1234");
    EXPECT_EQ(System::Uint2Str32A(1234, 2), "1234");
    EXPECT_EQ(System::Int2Str32W(-5, 4), L"-005");
    EXPECT_EQ(System::Uint2Str64W(7, 3), L"007");
    EXPECT_EQ((System::Num2Str<char, unsigned int>(42, 0)), "42");
    EXPECT_EQ((System::Num2Str<wchar_t, unsigned long long>(42, 5)), L"00042");
}

TEST(NumberToText, WidthsAtTheResultLimits)
{
    // 15 / 31 / 31 / 63 characters fit; one more does not.
    EXPECT_EQ(System::Uint2Str32A(1, 15), std::string(14, '0') + "1");
    EXPECT_EQ(System::Uint2Str32A(1, 16), "");
    EXPECT_EQ(System::Int2Str32A(-1, 15), "-" + std::string(13, '0') + "1");
    EXPECT_EQ(System::Int2Str32A(-1, 16), "");
    EXPECT_EQ(System::Uint2Str32A(1, 20), "");
    EXPECT_EQ(System::Uint2Str64A(1, 31), std::string(30, '0') + "1");
    EXPECT_EQ(System::Uint2Str64A(1, 32), "");
    EXPECT_EQ(System::Int2Str64A(-1, 31), "-" + std::string(29, '0') + "1");
    EXPECT_EQ(System::Int2Str64A(-1, 32), "");
    EXPECT_EQ(System::Uint2Str32W(1, 31), std::wstring(30, L'0') + L"1");
    EXPECT_EQ(System::Uint2Str32W(1, 32), L"");
    EXPECT_EQ(System::Int2Str32W(1, 32), L"");
    EXPECT_EQ(System::Uint2Str64W(1, 63), std::wstring(62, L'0') + L"1");
    EXPECT_EQ(System::Uint2Str64W(1, 64), L"");
    EXPECT_EQ(System::Int2Str64W(-1, 63), L"-" + std::wstring(61, L'0') + L"1");
    EXPECT_EQ(System::Int2Str64W(-1, 64), L"");
    EXPECT_EQ(System::Uint2Str64A(1, 0xFFFFFFFFu), "");
    EXPECT_EQ(System::Int2Str64W(1, 0x80000000u), L"");
}

TEST(NumberToText, ExtremeValues)
{
    EXPECT_EQ(System::Uint2Str32A(UINT_MAX), "4294967295");
    EXPECT_EQ(System::Int2Str32A(INT_MIN), "-2147483648");
    EXPECT_EQ(System::Uint2Str64A(ULLONG_MAX), "18446744073709551615");
    EXPECT_EQ(System::Int2Str64A(LLONG_MIN), "-9223372036854775808");
    EXPECT_EQ(System::Int2Str64W(LLONG_MAX), L"9223372036854775807");
    EXPECT_EQ(System::Uint2Str32A(0), "0");
    // 20 digits padded to 31 still fit the 64-bit narrow limit.
    EXPECT_EQ(System::Uint2Str64A(ULLONG_MAX, 31), std::string(11, '0') + "18446744073709551615");
}
