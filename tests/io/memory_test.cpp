// The growing stream buffer and the fixed random-access block.
#include <vor/io/memory.h>

#include "support/stubio.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

using namespace Vor::Io;
using namespace VorTest;

namespace {

constexpr unsigned int FAILED = IoObject::FAILED;

IoHandle Filled(Memory::MemType type, std::string const& bytes)
{
    IoHandle memory = OpenMemory(type, type == Memory::MEM_RANDOM ? static_cast<unsigned int>(bytes.size()) : 0);
    EXPECT_TRUE(memory.Write(bytes.data(), static_cast<unsigned int>(bytes.size())));
    return memory;
}

} // namespace

TEST(MemoryIo, OpensEitherKindOnlyAndReadsTypedValuesBackOrZeroAtTheEnd)
{
    Memory memory; // neither a third kind nor a plain device parameter
    EXPECT_FALSE(memory.Open(static_cast<Memory::MemType>(2), 16) || memory.Open());
    IoHandle stream = OpenMemory();
    ASSERT_TRUE(stream.WriteUInt8(0xAB) && stream.WriteUInt64(0x0123456789ABCDEFull) && stream.WriteDouble(-2.5));
    EXPECT_EQ("", ReadText(stream, 100)); // at the end: 0, not a failure
    ASSERT_TRUE(stream.Seek(1, IoParam::BEGIN));
    EXPECT_EQ(0x0123456789ABCDEFull, stream.ReadUInt64());
    EXPECT_EQ(-2.5, stream.ReadDouble());
    // A typed read that finds too few bytes gives 0 and does not move:
    // packet framing relies on it.
    ASSERT_TRUE(stream.Seek(2, IoParam::END));
    EXPECT_EQ(0u, stream.ReadUInt32(7));
    EXPECT_EQ(15u, stream.GetPosition());
    EXPECT_EQ(0xC004u, stream.ReadUInt16(7)); // the last two bytes of -2.5
    EXPECT_TRUE(stream.GetObject()->Close());
    EXPECT_EQ(0u, stream.GetSize());
}

// A handle moves 32-bit values itself while the buffer has the room; the
// size follows only a value written at the end, and a value written past
// the size leaves zeros in the gap, as every other write does.
TEST(MemoryIo, ThirtyTwoBitValuesGrowTheSizeOnlyAtTheEndAcrossBufferGrowth)
{
    IoHandle stream = OpenMemory();
    for (unsigned int i = 0; i < 1000; ++i) {
        ASSERT_TRUE(stream.WriteUInt32(i * 2654435761u));
        ASSERT_EQ(4 * (i + 1), stream.GetSize());
    }
    ASSERT_TRUE(stream.Seek(8, IoParam::BEGIN) && stream.WriteUInt32(0xFFFFFFFFu));
    EXPECT_EQ(12u, stream.GetPosition());
    EXPECT_EQ(4000u, stream.GetSize());
    ASSERT_TRUE(stream.Seek(0, IoParam::BEGIN));
    for (unsigned int i = 0; i < 1000; ++i)
        ASSERT_EQ(i == 2 ? 0xFFFFFFFFu : i * 2654435761u, stream.ReadUInt32(7)) << i;
    EXPECT_EQ(0u, stream.ReadUInt32(7)); // at the end
    EXPECT_EQ(4000u, stream.GetPosition());
    ASSERT_TRUE(stream.Seek(4002, IoParam::BEGIN) && stream.WriteUInt32(0x01020304u));
    EXPECT_EQ(4006u, stream.GetSize());
    ASSERT_TRUE(stream.Seek(4000, IoParam::BEGIN));
    EXPECT_EQ(0u, stream.ReadUInt16(7));
    EXPECT_EQ(0x01020304u, stream.ReadUInt32());
}

TEST(MemoryIo, SeeksCountInwardAndRefuseTheOutsideAndOffsetsBeyond32Bits)
{
    // Offsets from the beginning or the end count inward whatever their
    // sign; an offset that does not fit is refused, not cut to 32 bits.
    IoHandle memory = Filled(Memory::MEM_SEQUENTIAL, "0123456789");
    ExpectSeeks(memory, {{-3, IoParam::BEGIN, true, 3}, {3, IoParam::END, true, 7}, {-3, IoParam::END, true, 7},
                         {-2, IoParam::CURRENT, true, 5}, {-6, IoParam::CURRENT, false, 5}, {11, IoParam::END, false, 5},
                         {0x100000005ll, IoParam::BEGIN, false, 5}, {0x100000000ll, IoParam::CURRENT, false, 5},
                         {-0x100000005ll, IoParam::END, false, 5}, {LLONG_MIN, IoParam::BEGIN, false, 5},
                         {LLONG_MIN, IoParam::CURRENT, false, 5}, {LLONG_MAX, IoParam::CURRENT, false, 5},
                         {100, IoParam::BEGIN, true, 100}});
    EXPECT_EQ("<failed>", ReadText(memory, 4)); // beyond the size
    ASSERT_TRUE(memory.WriteUInt8('x'));
    ASSERT_TRUE(memory.Seek(8, IoParam::BEGIN));
    EXPECT_EQ("89" + std::string(90, '\0') + "x", ReadText(memory, 200)); // the gap reads as zeros
}

TEST(MemoryIo, RoomBeyond4GiBIsRefused)
{
    // Room making adds in 64 bits: a request that would pass 4 GiB fails
    // instead of wrapping to a smaller buffer that the next write overruns.
    auto memory = Vor::Core::New<MemoryIo>();
    ASSERT_TRUE(memory->Write("0123456789abcdef", 16));
    EXPECT_FALSE(memory->Open(0xFFFFFFFFu) || memory->Open(0xFFFFFFF1u));
    ASSERT_TRUE(memory->Write("xyz", 3));
    ASSERT_TRUE(memory->Seek(0, IoParam::BEGIN));
    EXPECT_EQ("0123456789abcdefxyz", ReadText(*memory, 100));
}

TEST(MemoryIo, CopiesMoveWhatTheSourceHasAndNothingThroughItself)
{
    IoHandle a = Filled(Memory::MEM_SEQUENTIAL, "0123456789"), b = OpenMemory();
    ASSERT_TRUE(a.Seek(2, IoParam::BEGIN));
    EXPECT_EQ(5u, a.Read(b, 5));
    EXPECT_EQ(3u, a.Read(b, 100)); // what there was, not the count asked
    EXPECT_EQ(0u, a.Read(b, 100));
    ASSERT_TRUE(b.Seek(0, IoParam::BEGIN) && a.Seek(0, IoParam::BEGIN));
    EXPECT_TRUE(a.Write(b, 50));
    EXPECT_EQ(8u, a.GetPosition());
    EXPECT_EQ("89", ReadText(a, 100));
    EXPECT_TRUE(a.Read(a, 10) == FAILED && !a.Write(a, 10));
    EXPECT_EQ(10u, a.GetSize());
}

TEST(RandomMemoryIo, TransfersAtThePositionNeverMoveItNorPassTheEnd)
{
    IoHandle block = Filled(Memory::MEM_RANDOM, "abcdefgh");
    ASSERT_TRUE(block.Seek(6, IoParam::BEGIN));
    EXPECT_EQ(9u, block.ReadUInt32(9));
    EXPECT_EQ("gh", ReadText(block, 10));
    EXPECT_FALSE(block.Write("abc", 3));
    EXPECT_TRUE(block.Write("GH", 2));
    EXPECT_EQ(6u, block.GetPosition());
    ExpectSeeks(block, {{8, IoParam::BEGIN, true, 8}, {9, IoParam::BEGIN, false, 8},
                        {0x100000005ll, IoParam::BEGIN, false, 8}, {LLONG_MIN, IoParam::END, false, 8}});
    EXPECT_FALSE(block.WriteUInt8(1));
    char bytes[4];
    IoParam plain; // parameter forms need a random one
    EXPECT_TRUE(block.Read(bytes, 4, plain) == FAILED && !block.Write(bytes, 4, plain));
    RandomParam at(2, 4);
    EXPECT_TRUE(block.Write("wxyz", 4, at));
    EXPECT_EQ(4u, block.Read(bytes, 4, at));
    EXPECT_EQ("cdwx", std::string(bytes, 4));
}

TEST(RandomMemoryIo, PositionsNear2To64AreRefused)
{
    // A default RandomParam carries all ones; "position + n" must not wrap to
    // a small number and let a transfer reach before the block.
    IoHandle block = OpenMemory(Memory::MEM_RANDOM, 8);
    char bytes[4] = {1, 2, 3, 4};
    for (RandomParam param : {RandomParam(), RandomParam(~0ull - 1, ~0ull - 1), RandomParam(9, 9)}) {
        EXPECT_FALSE(block.Write(bytes, 4, param)) << param.GetReadPos();
        EXPECT_EQ(FAILED, block.Read(bytes, 4, param)) << param.GetReadPos();
    }
    RandomParam edge(8, 8);
    EXPECT_TRUE(block.Write(bytes, 0, edge) && !block.Write(bytes, 1, edge));
    EXPECT_EQ(0u, block.Read(bytes, 4, edge));
    // Between two blocks a copy needs both positions; without the write
    // position it fails cleanly.
    IoHandle a = Filled(Memory::MEM_RANDOM, "abcdefgh"), b = Filled(Memory::MEM_RANDOM, "12345678");
    EXPECT_TRUE(a.Read(b, 4) == FAILED && !b.Write(a, 4));
    RandomParam both(1, 5);
    EXPECT_EQ(3u, a.Read(b, 3, both));
    EXPECT_EQ("12345bcd", ReadText(b, 8));
    RandomParam overlap(0, 2);
    EXPECT_EQ(6u, a.Read(a, 6, overlap));
    EXPECT_EQ("ababcdef", ReadText(a, 8));
}

TEST(RandomMemoryIo, CopiesWithOtherObjectsNeedTheWholeCountAndOpenResizesKeepingContent)
{
    IoHandle block = Filled(Memory::MEM_RANDOM, "abcdefgh");
    StubIo* sink = new StubIo;
    IoHandle target = Adopt(sink), more = Adopt(new StubIo("XY")), tooMuch = Adopt(new StubIo("0123456789"));
    ASSERT_TRUE(block.Seek(5, IoParam::BEGIN));
    EXPECT_EQ(3u, block.Read(target, 10));
    EXPECT_EQ("fgh", sink->m_Written);
    ASSERT_TRUE(block.Seek(6, IoParam::BEGIN));
    EXPECT_TRUE(block.Write(more, 2));
    EXPECT_EQ(FAILED, more.Read(block, 2)); // nothing left: not the whole count
    EXPECT_FALSE(block.Write(tooMuch, 9));
    RandomMemoryIo* raw = block.As<RandomMemoryIo>();
    ASSERT_TRUE(raw->Open(2));
    EXPECT_EQ(2u, block.GetPosition()); // never beyond the size
    ASSERT_TRUE(raw->Open(6) && block.Seek(0, IoParam::BEGIN));
    EXPECT_EQ(std::string("ab\0\0\0\0", 6), ReadText(block, 8));
}
