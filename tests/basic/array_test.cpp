#include <vor/basic/array.h>

#include "platform/format.h"
#include "basic/internal/memhooks.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <type_traits>

using namespace Vor::Basic;
using Internal::g_FailMemAllocations;

TEST(ArrayTest, FailedOrOverflowingGrowthKeepsTheOldBlockAndSize)
{
    Array<wchar_t> array;
    ASSERT_TRUE(array.Alloc(3));
    wchar_t* block = array;
    std::wmemcpy(block, L"abc", 3);
    g_FailMemAllocations = 1;
    EXPECT_FALSE(array.Alloc(1000));
    // 0x40000000 wide characters are 4 GiB: the byte count must not wrap.
    for (unsigned int count : {0x40000000u, Array<wchar_t>::MAX_SIZE + 1, 0xFFFFFFFFu})
        EXPECT_FALSE(array.Alloc(count)) << count;
    EXPECT_EQ(static_cast<wchar_t*>(array), block);
    EXPECT_EQ(array.GetSize(), 3u);
    EXPECT_TRUE(array.Alloc(1000)); // once memory is there again: the kept elements move along
    EXPECT_EQ(std::wmemcmp(static_cast<wchar_t*>(array), L"abc", 3), 0);
    Array<wchar_t> moved(std::move(array));
    EXPECT_EQ(static_cast<wchar_t*>(array), nullptr);
    EXPECT_TRUE(moved.GetSize() == 1000 && moved.Alloc(0) && static_cast<wchar_t*>(moved) == nullptr);
}

TEST(ArrayTest, CopiesAreExplicitAndDeep)
{
    static_assert(!std::is_copy_constructible<Array<char>>::value && !std::is_copy_assignable<Array<char>>::value,
                  "no shared buffers");
    Array<char> source(4), copy;
    std::memcpy(static_cast<char*>(source), "abcd", 4);
    ASSERT_TRUE(copy.Assign(source));
    EXPECT_TRUE(copy.Assign(copy));
    static_cast<char*>(source)[0] = 'z';
    EXPECT_EQ(std::string(static_cast<char*>(copy), copy.GetSize()), "abcd");
    Array<char> other(2);
    g_FailMemAllocations = 1;
    EXPECT_FALSE(other.Assign(source));
    g_FailMemAllocations = 0;
}

class FormatLength : public ::testing::TestWithParam<unsigned int> {};

TEST_P(FormatLength, FormatsWholeTextWithArgumentsAcrossRetries)
{
    // A %s and a %d argument: a retry that reused a spent argument list
    // would print garbage; the capacity doubles from 256 until the text fits.
    unsigned int length = GetParam(), capacity = 256;
    while (capacity <= length)
        capacity *= 2;
    std::string fill(length - 5, 'x');
    Array<char> array;
    ASSERT_EQ(PrintToArray(array, "%s-%04d", fill.c_str(), 42), length);
    EXPECT_EQ(std::string(static_cast<char*>(array), length + 1), fill + "-0042" + '\0');
    EXPECT_EQ(array.GetSize(), capacity);
    Array<wchar_t> wide;
    std::wstring wfill(length - 5, L'y');
    ASSERT_EQ(PrintToArray(wide, L"%ls-%04d", wfill.c_str(), 42), length);
    EXPECT_EQ(std::wstring(static_cast<wchar_t*>(wide), length + 1), wfill + L"-0042" + L'\0');
    EXPECT_EQ(wide.GetSize(), capacity);
}

INSTANTIATE_TEST_SUITE_P(AroundTheFirstCapacity, FormatLength, ::testing::Values(255u, 256u, 257u, 300u, 5000u));

TEST(FormatToArray, ErrorsAndTextBeyondTheLimitAreRefusedWithoutGrowing)
{
    Array<wchar_t> wide;
#if !defined(_WIN32) // where the C locale gives every byte a character
    // Not a multibyte sequence: a conversion error, not a lack of room.
    EXPECT_EQ(PrintToArray(wide, L"%s", "\xff\xfe"), 0u);
    EXPECT_LE(wide.GetSize(), 256u);
#endif
    EXPECT_EQ(PrintToArray(wide, L"%*d", static_cast<int>(FORMAT_LIMIT), 1), 0u);
    EXPECT_LE(wide.GetSize(), FORMAT_LIMIT);
    Array<char> narrow;
    EXPECT_EQ(PrintToArray(narrow, static_cast<char const*>(nullptr)), 0u);
    EXPECT_EQ(PrintToArray(narrow, "%*d", static_cast<int>(FORMAT_LIMIT), 1), 0u);
    EXPECT_LE(narrow.GetSize(), 256u);
    EXPECT_EQ(PrintToArray(narrow, "%*s", static_cast<int>(FORMAT_LIMIT - 1), ""), FORMAT_LIMIT - 1);
#if defined(_WIN32)
    // The runtime builds an integer field on the stack: a wider one than it
    // can take is refused, never formatted into an overflow; the fields
    // before it are stepped over by their types.
    int const widest = static_cast<int>(Vor::Platform::kWidestIntegerField);
    EXPECT_EQ(PrintToArray(narrow, "%s%*d", "a", widest + 1, 1), 0u);
    EXPECT_EQ(PrintToArray(wide, L"%.*x", widest + 1, 1), 0u);
    EXPECT_EQ(PrintToArray(narrow, "%5.1f%lld%*d", 1.0, 1LL, widest, 1), 6u + widest);
#else
    EXPECT_EQ(PrintToArray(narrow, "%*d", static_cast<int>(FORMAT_LIMIT - 1), 1), FORMAT_LIMIT - 1);
#endif
    // A failed growth reports 0 and keeps the old block.
    Array<char> array(256);
    char* first = array;
    std::string fill(1000, 'q');
    g_FailMemAllocations = 1; // the growth to 1024 fails
    EXPECT_EQ(PrintToArray(array, "%s", fill.c_str()), 0u);
    EXPECT_EQ(g_FailMemAllocations.load(), 0);
    EXPECT_EQ(static_cast<char*>(array), first);
    EXPECT_EQ(PrintToArray(array, "%s", fill.c_str()), 1000u);
}
