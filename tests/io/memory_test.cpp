// The growing stream buffer and the fixed random-access block.
#include <vor/io/memory.h>

#include "support/seek.h"
#include "support/stubio.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

using namespace Vor::Io;
using VorTest::Adopt;
using VorTest::StubIo;

namespace {

constexpr unsigned int FAILED = IoObject::FAILED;

IoHandle Open(Memory::MemType type, unsigned int size)
{
    Memory memory;
    EXPECT_TRUE(memory.Open(type, size));
    return memory.GetHandle();
}

std::string ReadAll(IoHandle& handle, unsigned int n)
{
    std::string bytes(n, '\0');
    unsigned int count = handle.Read(&bytes[0], n);
    if (count == FAILED)
        return "<failed>";
    bytes.resize(count);
    return bytes;
}

} // namespace

TEST(Memory, OpensEitherKindAndRefusesOthers)
{
    Memory memory;
    EXPECT_TRUE(memory.Open(Memory::MEM_SEQUENTIAL, 0));
    EXPECT_EQ(0u, memory.GetHandle().GetSize());
    EXPECT_FALSE(memory.GetHandle().GetAttrib(IoParam::RANDOM));
    EXPECT_TRUE(memory.Open(Memory::MEM_RANDOM, 16));
    EXPECT_EQ(16u, memory.GetHandle().GetSize());
    EXPECT_TRUE(memory.GetHandle().GetAttrib(IoParam::RANDOM));
    EXPECT_FALSE(memory.Open(static_cast<Memory::MemType>(2), 16));
    EXPECT_FALSE(memory.GetHandle().IsValid());
    EXPECT_FALSE(memory.Open()); // a plain device parameter is not a memory one
}

TEST(MemoryIo, GrowsOnWriteAndReadsTypedValuesBack)
{
    IoHandle memory = Open(Memory::MEM_SEQUENTIAL, 0);
    ASSERT_TRUE(memory.WriteUInt8(0xAB));
    ASSERT_TRUE(memory.WriteUInt16(0xBEEF));
    ASSERT_TRUE(memory.WriteUInt32(0xCAFEF00D));
    ASSERT_TRUE(memory.WriteUInt64(0x0123456789ABCDEFull));
    ASSERT_TRUE(memory.WriteFloat(1.25f));
    ASSERT_TRUE(memory.WriteDouble(-2.5));
    ASSERT_TRUE(memory.Write("0123456789", 10));
    EXPECT_EQ(37u, memory.GetSize());
    EXPECT_EQ(37u, memory.GetPosition());
    EXPECT_EQ("", ReadAll(memory, 100)); // at the end: 0, not a failure
    ASSERT_TRUE(memory.Seek(0, IoParam::BEGIN));
    EXPECT_EQ(0xABu, memory.ReadUInt8());
    EXPECT_EQ(0xBEEFu, memory.ReadUInt16());
    EXPECT_EQ(0xCAFEF00Du, memory.ReadUInt32());
    EXPECT_EQ(0x0123456789ABCDEFull, memory.ReadUInt64());
    EXPECT_EQ(1.25f, memory.ReadFloat());
    EXPECT_EQ(-2.5, memory.ReadDouble());
    EXPECT_EQ("0123456789", ReadAll(memory, 100));
}

TEST(MemoryIo, ManySmallWritesStayCheap)
{
    IoHandle memory = Open(Memory::MEM_SEQUENTIAL, 0);
    for (unsigned int i = 0; i < 1u << 18; ++i)
        ASSERT_TRUE(memory.WriteUInt32(i));
    EXPECT_EQ(4u << 18, memory.GetSize());
    ASSERT_TRUE(memory.Seek(-4, IoParam::END));
    EXPECT_EQ((1u << 18) - 1, memory.ReadUInt32());
}

TEST(MemoryIo, SeekOriginsCountInwardAndRefuseTheOutside)
{
    // Offsets from the beginning or the end count inward whatever their
    // sign; a refused seek leaves the position where it was.
    IoHandle memory = Open(Memory::MEM_SEQUENTIAL, 0);
    ASSERT_TRUE(memory.Write("0123456789", 10));
    VorTest::ExpectSeeks(memory, {{-3, IoParam::BEGIN, true, 3}, {3, IoParam::END, true, 7}, {-3, IoParam::END, true, 7},
                                  {-2, IoParam::CURRENT, true, 5}, {-6, IoParam::CURRENT, false, 5},
                                  {11, IoParam::END, false, 5}, {10, IoParam::END, true, 0}});
}

TEST(MemoryIo, SeekBeyondTheSizeReadsNothingUntilWritten)
{
    IoHandle memory = Open(Memory::MEM_SEQUENTIAL, 0);
    ASSERT_TRUE(memory.Seek(100, IoParam::BEGIN));
    EXPECT_EQ(0u, memory.GetSize());
    EXPECT_EQ("<failed>", ReadAll(memory, 4));
    ASSERT_TRUE(memory.WriteUInt8('x'));
    EXPECT_EQ(101u, memory.GetSize());
    ASSERT_TRUE(memory.Seek(0, IoParam::BEGIN));
    std::string bytes = ReadAll(memory, 200);
    EXPECT_EQ(std::string(100, '\0') + "x", bytes); // the gap reads as zeros
}

// Offsets are 64 bits; one that does not fit a memory object is refused
// instead of being cut to its low 32 bits.
TEST(MemoryIo, SeekRefusesOffsetsBeyond32Bits)
{
    IoHandle memory = Open(Memory::MEM_SEQUENTIAL, 0);
    ASSERT_TRUE(memory.Write("0123456789", 10));
    VorTest::ExpectSeeks(memory, {{0x100000005ll, IoParam::BEGIN, false, 10}, {0x100000000ll, IoParam::CURRENT, false, 10},
                                  {-0x100000005ll, IoParam::END, false, 10}, {LLONG_MIN, IoParam::BEGIN, false, 10},
                                  {LLONG_MIN, IoParam::CURRENT, false, 10},  {LLONG_MAX, IoParam::CURRENT, false, 10}});
    EXPECT_EQ(10u, memory.GetSize());
}

// Room making adds in 64 bits: a request that would pass 4 GiB fails
// instead of wrapping to a smaller buffer that the next write overruns.
TEST(MemoryIo, RoomBeyond4GiBIsRefused)
{
    Vor::Core::Guard<MemoryIo> memory(new MemoryIo);
    memory->DecRef();
    ASSERT_TRUE(memory->Write("0123456789abcdef", 16));
    EXPECT_FALSE(memory->Open(0xFFFFFFFFu));
    EXPECT_FALSE(memory->Open(0xFFFFFFF0u + 1));
    ASSERT_TRUE(memory->Write("xyz", 3));
    ASSERT_TRUE(memory->Seek(0, IoParam::BEGIN));
    char bytes[19];
    ASSERT_EQ(19u, memory->Read(bytes, 19));
    EXPECT_EQ("0123456789abcdefxyz", std::string(bytes, 19));
    EXPECT_TRUE(memory->Open(0));
}

TEST(MemoryIo, TypedReadAtTheEndReturnsZeroAndStays)
{
    IoHandle memory = Open(Memory::MEM_SEQUENTIAL, 0);
    ASSERT_TRUE(memory.WriteUInt16(0x1234));
    ASSERT_TRUE(memory.WriteUInt8(0x56));
    ASSERT_TRUE(memory.Seek(2, IoParam::BEGIN));
    EXPECT_EQ(0u, memory.ReadUInt16(7));
    EXPECT_EQ(2u, memory.GetPosition());
    EXPECT_EQ(0.0, memory.ReadDouble(3.0));
    EXPECT_EQ(0x56u, memory.ReadUInt8(7));
    ASSERT_TRUE(memory.Seek(0, IoParam::BEGIN));
    EXPECT_EQ(0x1234u, memory.ReadUInt16());
}

TEST(MemoryIo, CloseEmptiesAndTheObjectIsReusable)
{
    IoHandle memory = Open(Memory::MEM_SEQUENTIAL, 32);
    ASSERT_TRUE(memory.Write("abc", 3));
    Vor::Core::Guard<IoObject> object = memory.GetObject();
    EXPECT_TRUE(object->Close());
    EXPECT_EQ(0u, memory.GetSize());
    EXPECT_EQ(0u, memory.GetPosition());
    ASSERT_TRUE(memory.Write("de", 2));
    ASSERT_TRUE(memory.Seek(0, IoParam::BEGIN));
    EXPECT_EQ("de", ReadAll(memory, 10));
}

TEST(MemoryIo, CopiesBetweenMemoryObjects)
{
    IoHandle a = Open(Memory::MEM_SEQUENTIAL, 0);
    IoHandle b = Open(Memory::MEM_SEQUENTIAL, 0);
    ASSERT_TRUE(a.Write("0123456789", 10));
    ASSERT_TRUE(a.Seek(2, IoParam::BEGIN));
    EXPECT_EQ(5u, a.Read(b, 5));
    EXPECT_EQ(7u, a.GetPosition());
    EXPECT_EQ(5u, b.GetSize());
    EXPECT_EQ(3u, a.Read(b, 100));
    EXPECT_EQ(0u, a.Read(b, 100));
    ASSERT_TRUE(b.Seek(0, IoParam::BEGIN));
    EXPECT_EQ("23456789", ReadAll(b, 100));
    // From the other side: a takes what b delivers, up to the count.
    ASSERT_TRUE(b.Seek(0, IoParam::BEGIN));
    ASSERT_TRUE(a.Seek(0, IoParam::BEGIN));
    EXPECT_TRUE(a.Write(b, 50));
    EXPECT_EQ(10u, a.GetSize());
    EXPECT_EQ(8u, a.GetPosition());
}

TEST(MemoryIo, CopiesIntoItselfOrThroughAFailingPeerMoveNothing)
{
    IoHandle memory = Open(Memory::MEM_SEQUENTIAL, 0);
    ASSERT_TRUE(memory.Write("0123456789", 10));
    ASSERT_TRUE(memory.Seek(0, IoParam::BEGIN));
    EXPECT_EQ(FAILED, memory.Read(memory, 10));
    EXPECT_FALSE(memory.Write(memory, 10));
    EXPECT_EQ(10u, memory.GetSize());

    StubIo* stub = new StubIo("abc");
    IoHandle source = Adopt(stub);
    stub->m_bFailReads = true;
    EXPECT_FALSE(memory.Write(source, 3));
    EXPECT_EQ(10u, memory.GetSize());
    StubIo* sink = new StubIo;
    IoHandle target = Adopt(sink);
    sink->m_bFailWrites = true;
    EXPECT_EQ(FAILED, memory.Read(target, 3));
    EXPECT_EQ(0u, memory.GetPosition());
}

TEST(RandomMemoryIo, TransfersAtThePositionNeverMoveIt)
{
    IoHandle block = Open(Memory::MEM_RANDOM, 8);
    EXPECT_TRUE(block.WriteUInt64(0x1122334455667788ull));
    ASSERT_TRUE(block.Seek(8, IoParam::BEGIN));
    EXPECT_FALSE(block.WriteUInt8(1));
    EXPECT_EQ(0u, ReadAll(block, 4).size());
    ASSERT_TRUE(block.Seek(6, IoParam::BEGIN));
    EXPECT_EQ(9u, block.ReadUInt32(9));
    EXPECT_EQ(0x1122u, block.ReadUInt16(9));
    EXPECT_EQ(6u, block.GetPosition());
    EXPECT_EQ(std::string("\x22\x11", 2), ReadAll(block, 10));
    EXPECT_EQ(6u, block.GetPosition());
    EXPECT_FALSE(block.Write("abc", 3));
    EXPECT_TRUE(block.Write("ab", 2));
    EXPECT_FALSE(block.Seek(9, IoParam::BEGIN));
    EXPECT_FALSE(block.Seek(0x100000005ll, IoParam::BEGIN)); // not position 5
    EXPECT_FALSE(block.Seek(LLONG_MIN, IoParam::END));
    EXPECT_EQ(6u, block.GetPosition());
}

TEST(RandomMemoryIo, ParameterFormsNeedARandomParam)
{
    IoHandle block = Open(Memory::MEM_RANDOM, 8);
    char bytes[4];
    IoParam plain;
    EXPECT_EQ(FAILED, block.Read(bytes, 4, plain));
    EXPECT_FALSE(block.Write(bytes, 4, plain));
    RandomParam at(2, 4);
    EXPECT_TRUE(block.Write("wxyz", 4, at));
    EXPECT_EQ(4u, block.Read(bytes, 4, at));
    EXPECT_EQ(std::string("\0\0wx", 4), std::string(bytes, 4));
}

// A default RandomParam carries all ones; "position + n" must not wrap to a
// small number and let a transfer reach before the block.
TEST(RandomMemoryIo, PositionsNear2To64AreRefused)
{
    IoHandle block = Open(Memory::MEM_RANDOM, 8);
    char bytes[4] = {1, 2, 3, 4};
    RandomParam unset;
    EXPECT_FALSE(block.Write(bytes, 4, unset));
    EXPECT_EQ(FAILED, block.Read(bytes, 4, unset));
    RandomParam nearEnd(~0ull - 1, ~0ull - 1);
    EXPECT_FALSE(block.Write(bytes, 4, nearEnd));
    EXPECT_EQ(FAILED, block.Read(bytes, 4, nearEnd));
    RandomParam edge(8, 8);
    EXPECT_TRUE(block.Write(bytes, 0, edge));
    EXPECT_FALSE(block.Write(bytes, 1, edge));
    EXPECT_EQ(0u, block.Read(bytes, 4, edge));
    RandomParam past(9, 9);
    EXPECT_EQ(FAILED, block.Read(bytes, 4, past));
    EXPECT_FALSE(block.Write(bytes, 0, past));
}

TEST(RandomMemoryIo, CopyBetweenTwoBlocksWithoutAPositionFailsCleanly)
{
    IoHandle a = Open(Memory::MEM_RANDOM, 8);
    IoHandle b = Open(Memory::MEM_RANDOM, 8);
    ASSERT_TRUE(a.Write("abcdefgh", 8));
    ASSERT_TRUE(b.Write("12345678", 8));
    // Read from a at its position, into b at a write position never given.
    EXPECT_EQ(FAILED, a.Read(b, 4));
    EXPECT_FALSE(b.Write(a, 4));
    EXPECT_EQ("12345678", ReadAll(b, 8));
    // With both positions given the copy works.
    RandomParam both(1, 5);
    EXPECT_EQ(3u, a.Read(b, 3, both));
    EXPECT_EQ("12345bcd", ReadAll(b, 8));
}

TEST(RandomMemoryIo, CopiesWithinOneBlock)
{
    IoHandle block = Open(Memory::MEM_RANDOM, 8);
    ASSERT_TRUE(block.Write("abcdefgh", 8));
    RandomParam overlap(0, 2);
    EXPECT_EQ(6u, block.Read(block, 6, overlap));
    EXPECT_EQ("ababcdef", ReadAll(block, 8));
}

TEST(RandomMemoryIo, CopiesWithOtherObjects)
{
    IoHandle block = Open(Memory::MEM_RANDOM, 8);
    StubIo* sink = new StubIo;
    IoHandle target = Adopt(sink);
    ASSERT_TRUE(block.Write("abcdefgh", 8));
    ASSERT_TRUE(block.Seek(5, IoParam::BEGIN));
    EXPECT_EQ(3u, block.Read(target, 10));
    EXPECT_EQ("fgh", sink->m_Written);
    StubIo* failing = new StubIo("XY");
    failing->m_bFailReads = true;
    IoHandle source = Adopt(failing);
    EXPECT_FALSE(block.Write(source, 2));
    ASSERT_TRUE(block.Seek(6, IoParam::BEGIN));
    IoHandle more = Adopt(new StubIo("XY"));
    EXPECT_TRUE(block.Write(more, 2));
    EXPECT_EQ(FAILED, more.Read(block, 2)); // nothing left: not the whole count
    ASSERT_TRUE(block.Seek(0, IoParam::BEGIN));
    EXPECT_EQ("abcdefXY", ReadAll(block, 8));
    IoHandle tooMuch = Adopt(new StubIo("0123456789"));
    EXPECT_FALSE(block.Write(tooMuch, 9));
}

TEST(RandomMemoryIo, OpenResizesKeepingContent)
{
    Vor::Core::Guard<RandomMemoryIo> block(new RandomMemoryIo);
    block->DecRef();
    ASSERT_TRUE(block->Open(4));
    ASSERT_TRUE(block->Write("abcd", 4));
    ASSERT_TRUE(block->Seek(4, IoParam::BEGIN));
    ASSERT_TRUE(block->Open(2));
    EXPECT_EQ(2u, block->GetSize());
    EXPECT_EQ(2u, block->GetPosition()); // never beyond the size
    ASSERT_TRUE(block->Open(6));
    ASSERT_TRUE(block->Seek(0, IoParam::BEGIN));
    char bytes[6];
    ASSERT_EQ(6u, block->Read(bytes, 6));
    EXPECT_EQ(std::string("ab\0\0\0\0", 6), std::string(bytes, 6));
    ASSERT_TRUE(block->Open(0));
    EXPECT_EQ(0u, block->GetSize());
    EXPECT_EQ(0u, block->Read(bytes, 6));
    EXPECT_TRUE(block->Close());
}
