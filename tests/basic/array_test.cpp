#include <vor/basic/array.h>
#include <vor/basic/status.h>

#include "basic/internal/memhooks.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <type_traits>

using namespace Vor;

TEST(ArrayAlloc, ZeroFreesAndAFailedFirstAllocationLeavesItEmpty)
{
    Basic::Array<char> filled(16);
    EXPECT_NE(static_cast<char*>(filled), nullptr);
    EXPECT_TRUE(filled.Alloc(0));
    EXPECT_EQ(static_cast<char*>(filled), nullptr);
    EXPECT_EQ(filled.GetSize(), 0u);
    Basic::Internal::g_FailMemAllocations = 1;
    Basic::Array<char> array(100);
    EXPECT_EQ(static_cast<char*>(array), nullptr);
    EXPECT_EQ(array.GetSize(), 0u);
}

TEST(ArrayAlloc, ShrinkKeepsTheBufferAndGrowthCopiesTheKeptElements)
{
    Basic::Array<unsigned char> array;
    ASSERT_TRUE(array.Alloc(10));
    unsigned char* first = array;
    std::memcpy(first, "0123456789", 10);
    ASSERT_TRUE(array.Alloc(4));
    EXPECT_EQ(static_cast<unsigned char*>(array), first);
    EXPECT_EQ(array.GetSize(), 4u);
    ASSERT_TRUE(array.Alloc(8));
    EXPECT_EQ(array.GetSize(), 8u);
    EXPECT_EQ(std::memcmp(static_cast<unsigned char*>(array), "0123", 4), 0);
}

TEST(ArrayAlloc, FailedGrowthKeepsTheOldBlockAndSize)
{
    Basic::Array<wchar_t> array;
    ASSERT_TRUE(array.Alloc(3));
    wchar_t* block = array;
    std::wmemcpy(block, L"abc", 3);
    Basic::Internal::g_FailMemAllocations = 1;
    EXPECT_FALSE(array.Alloc(1000));
    EXPECT_EQ(static_cast<wchar_t*>(array), block);
    EXPECT_EQ(array.GetSize(), 3u);
    EXPECT_EQ(std::wmemcmp(static_cast<wchar_t*>(array), L"abc", 3), 0);
    // The same array grows once memory is there again.
    EXPECT_TRUE(array.Alloc(1000));
    EXPECT_EQ(std::wmemcmp(static_cast<wchar_t*>(array), L"abc", 3), 0);
}

TEST(ArrayAlloc, ByteCountsBeyond32BitsAreRefused)
{
    // 0x40000000 wide characters are 4 GiB: the byte count would wrap to 0
    // in 32 bits and a tiny block would be taken for a huge one.
    Basic::Array<wchar_t> array;
    ASSERT_TRUE(array.Alloc(2));
    wchar_t* block = array;
    for (unsigned int count : {0x40000000u, Basic::Array<wchar_t>::MAX_SIZE + 1, 0xFFFFFFFFu})
        EXPECT_FALSE(array.Alloc(count)) << count;
    EXPECT_EQ(static_cast<wchar_t*>(array), block);
    EXPECT_EQ(array.GetSize(), 2u);
}

TEST(ArrayCopy, CopiesAreExplicitAndDeep)
{
    static_assert(!std::is_copy_constructible<Basic::Array<char>>::value, "no shared buffers");
    static_assert(!std::is_copy_assignable<Basic::Array<char>>::value, "no shared buffers");
    Basic::Array<char> source(4);
    std::memcpy(static_cast<char*>(source), "abcd", 4);
    Basic::Array<char> copy;
    ASSERT_TRUE(copy.Assign(source));
    EXPECT_NE(static_cast<char*>(copy), static_cast<char*>(source));
    EXPECT_EQ(copy.GetSize(), 4u);
    static_cast<char*>(source)[0] = 'z';
    EXPECT_EQ(std::memcmp(static_cast<char*>(copy), "abcd", 4), 0);
    EXPECT_TRUE(copy.Assign(copy));

    Basic::Internal::g_FailMemAllocations = 1;
    Basic::Array<char> other(2);
    Basic::Internal::g_FailMemAllocations = 1;
    EXPECT_FALSE(other.Assign(source));
    Basic::Internal::g_FailMemAllocations = 0;
}

TEST(ArrayCopy, MovingHandsTheBufferOver)
{
    Basic::Array<char> source(8);
    char* block = source;
    Basic::Array<char> target(std::move(source));
    EXPECT_EQ(static_cast<char*>(target), block);
    EXPECT_EQ(static_cast<char*>(source), nullptr);
    Basic::Array<char> third(3);
    third = std::move(target);
    EXPECT_EQ(static_cast<char*>(third), block);
    EXPECT_EQ(third.GetSize(), 8u);
}

TEST(StatusFlags, BitsBeyondThirtyOneAreRefusedAndChangeToggles)
{
    Basic::Status status;
    EXPECT_TRUE(status.Set(31));
    for (unsigned int bit : {32u, 0xFFFFFFFFu}) {
        EXPECT_FALSE(status.Set(bit)) << bit;
        EXPECT_FALSE(status.Reset(bit)) << bit;
        EXPECT_FALSE(status.Change(bit)) << bit;
        EXPECT_FALSE(status.IsSet(bit)) << bit;
    }
    EXPECT_EQ(status.GetBits(), 0x80000000u);
    EXPECT_TRUE(status.Change(0));
    EXPECT_TRUE(status.IsSet(0));
    EXPECT_TRUE(status.Change(0));
    EXPECT_TRUE(status.Reset(31));
    EXPECT_EQ(status.GetBits(), 0u);
}

namespace {

std::string Text(Basic::Array<char>& array, unsigned int length) { return std::string(static_cast<char*>(array), length); }

// Doubling from 256 until the text and its terminator fit.
unsigned int ExpectedCapacity(unsigned int length)
{
    unsigned int capacity = 256;
    while (capacity <= length)
        capacity *= 2;
    return capacity;
}

} // namespace

class FormatLength : public ::testing::TestWithParam<unsigned int> {};

TEST_P(FormatLength, FormatsWholeTextWithArgumentsAcrossRetries)
{
    unsigned int length = GetParam();
    // A %s and a %d argument: a retry that reused a spent argument list
    // would print garbage here.
    std::string fill(length - 5, 'x');
    Basic::Array<char> array;
    unsigned int written = Basic::PrintToArray(array, "%s-%04d", fill.c_str(), 42);
    ASSERT_EQ(written, length);
    EXPECT_EQ(Text(array, written), fill + "-0042");
    EXPECT_EQ(static_cast<char*>(array)[written], '\0');
    EXPECT_EQ(array.GetSize(), ExpectedCapacity(length));

    Basic::Array<wchar_t> wide;
    std::wstring wfill(length - 5, L'y');
    written = Basic::PrintToArray(wide, L"%ls-%04d", wfill.c_str(), 42);
    ASSERT_EQ(written, length);
    EXPECT_EQ(std::wstring(static_cast<wchar_t*>(wide), written), wfill + L"-0042");
    EXPECT_EQ(static_cast<wchar_t*>(wide)[written], L'\0');
    EXPECT_EQ(wide.GetSize(), ExpectedCapacity(length));
}

INSTANTIATE_TEST_SUITE_P(AroundTheFirstCapacity, FormatLength, ::testing::Values(255u, 256u, 257u, 300u, 5000u));

TEST(FormatToArray, RefusesErrorsWithoutGrowing)
{
    Basic::Array<wchar_t> wide;
    // Not a multibyte sequence: a conversion error, not a lack of room.
    EXPECT_EQ(Basic::PrintToArray(wide, L"%s", "\xff\xfe"), 0u);
    EXPECT_LE(wide.GetSize(), 256u);
    Basic::Array<char> narrow;
    char const* none = nullptr;
    EXPECT_EQ(Basic::PrintToArray(narrow, none), 0u);
}

TEST(FormatToArray, TextBeyondTheLimitIsRefused)
{
    Basic::Array<char> narrow;
    EXPECT_EQ(Basic::PrintToArray(narrow, "%*d", static_cast<int>(Basic::FORMAT_LIMIT), 1), 0u);
    EXPECT_LE(narrow.GetSize(), 256u);
    EXPECT_EQ(Basic::PrintToArray(narrow, "%*d", static_cast<int>(Basic::FORMAT_LIMIT - 1), 1), Basic::FORMAT_LIMIT - 1);
    Basic::Array<wchar_t> wide;
    EXPECT_EQ(Basic::PrintToArray(wide, L"%*d", static_cast<int>(Basic::FORMAT_LIMIT), 1), 0u);
    EXPECT_LE(wide.GetSize(), Basic::FORMAT_LIMIT);
}

TEST(FormatToArray, FailedGrowthReportsZero)
{
    Basic::Array<char> array(256);
    char* first = array;
    std::string fill(1000, 'q');
    // The first attempt fits no more than 256; the growth to 1024 fails.
    Basic::Internal::g_FailMemAllocations = 1;
    EXPECT_EQ(Basic::PrintToArray(array, "%s", fill.c_str()), 0u);
    EXPECT_EQ(Basic::Internal::g_FailMemAllocations.load(), 0);
    EXPECT_EQ(static_cast<char*>(array), first);
    EXPECT_EQ(Basic::PrintToArray(array, "%s", fill.c_str()), 1000u);
}
