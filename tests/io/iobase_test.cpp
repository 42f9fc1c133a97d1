// Handles, the null object, devices, parameter blocks, typed transfers,
// object-to-object copies and formatted output of the I/O object model.
#include <vor/io/iobase.h>
#include <vor/io/memory.h>

#include "support/stubio.h"

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace Vor::Io;
using VorTest::Adopt;
using VorTest::StubIo;

namespace {

constexpr unsigned int FAILED = IoObject::FAILED;

IoHandle NewMemory(Memory::MemType type = Memory::MEM_SEQUENTIAL, unsigned int size = 0)
{
    Memory memory;
    EXPECT_TRUE(memory.Open(type, size));
    return memory.GetHandle();
}

// The bytes of a sequential memory object, read from its start.
std::string Contents(IoHandle& memory)
{
    std::string bytes(static_cast<std::size_t>(memory.GetSize()), '\0');
    unsigned long long position = memory.GetPosition();
    memory.Seek(0, IoParam::BEGIN);
    if (!bytes.empty())
        memory.Read(&bytes[0], static_cast<unsigned int>(bytes.size()));
    memory.Seek(static_cast<long long>(position), IoParam::BEGIN);
    return bytes;
}

} // namespace

TEST(IoHandle, EmptyHandleFailsHarmlessly)
{
    IoHandle empty;
    IoHandle other;
    EXPECT_FALSE(empty.IsValid());
    EXPECT_TRUE(empty == other);
    EXPECT_FALSE(empty < other);
    EXPECT_FALSE(empty.Clear());
    EXPECT_EQ(7u, empty.ReadUInt32(7));
    EXPECT_EQ(2.5, empty.ReadDouble(2.5));
    EXPECT_FALSE(empty.WriteUInt32(1));
    EXPECT_EQ(~0ull, empty.GetSize());
    EXPECT_EQ(~0ull, empty.GetPosition());
    EXPECT_FALSE(empty.Seek(0, IoParam::BEGIN));
    char buffer[4];
    EXPECT_EQ(FAILED, empty.Read(buffer, 4));
    EXPECT_FALSE(empty.Write(buffer, 4));
    EXPECT_FALSE(empty.Printf("%d", 5));
    EXPECT_FALSE(empty.Flush());
    // The null object closes, but there is nothing for the handle to drop.
    EXPECT_FALSE(empty.Close());
    EXPECT_FALSE(empty.GetObject().IsValid());
}

TEST(IoHandle, CopiesShareOneObjectAndOrderByAddress)
{
    IoHandle a = NewMemory();
    IoHandle b = NewMemory();
    IoHandle copy(a);
    EXPECT_TRUE(copy == a);
    EXPECT_TRUE(a != b);
    EXPECT_TRUE((a < b) != (b < a));
    EXPECT_TRUE(a <= copy && a >= copy);
    ASSERT_TRUE(copy.WriteUInt8(9));
    EXPECT_EQ(1u, a.GetSize());

    ReadHandle reader(a);
    WriteHandle writer(a);
    EXPECT_TRUE(writer.WriteUInt8(10));
    EXPECT_TRUE(a.Seek(0, IoParam::BEGIN));
    EXPECT_EQ(9u, reader.ReadUInt8());
    EXPECT_EQ(10u, reader.ReadUInt8());

    IoHandle any(static_cast<IoBase const&>(reader));
    EXPECT_TRUE(any == a);
    reader = IoHandle();
    EXPECT_FALSE(reader.IsValid());
}

TEST(IoHandle, RefusedCloseKeepsTheObjectAndTheLastReleaseDestroysIt)
{
    static std::atomic<int> s_Destroyed{0};
    s_Destroyed = 0;
    StubIo* stub = new StubIo;
    stub->m_pOnDestroy = [](StubIo*) { ++s_Destroyed; };
    IoHandle first = Adopt(stub);
    IoHandle second = first;
    stub->m_bRefuseClose = true;
    EXPECT_FALSE(first.Close());
    EXPECT_TRUE(first.IsValid());
    stub->m_bRefuseClose = false;
    EXPECT_TRUE(first.Close());
    EXPECT_FALSE(first.IsValid());
    EXPECT_EQ(0, s_Destroyed.load());
    EXPECT_TRUE(second.Clear());
    EXPECT_EQ(1, s_Destroyed.load());
}

TEST(IoHandle, CopyOfAnObjectBeingDestroyedIsEmpty)
{
    static IoHandle* s_pOwner = nullptr;
    static bool s_bCopyValid = true;
    StubIo* stub = new StubIo;
    IoHandle owner = Adopt(stub);
    s_pOwner = &owner;
    stub->m_pOnDestroy = [](StubIo*) {
        IoHandle copy(*s_pOwner); // the owner still points at the dying object
        s_bCopyValid = copy.IsValid();
    };
    EXPECT_TRUE(owner.Clear());
    EXPECT_FALSE(s_bCopyValid);
}

TEST(IoHandle, StreamsTheObjectAddress)
{
    IoHandle handle = NewMemory();
    std::ostringstream narrow;
    narrow << handle;
    std::ostringstream expected;
    expected << static_cast<void const*>(handle.GetObject().Address());
    EXPECT_EQ(expected.str(), narrow.str());
}

TEST(IoDevice, BaseOpenFailsAndCopiesShareTheObjectUntilReopened)
{
    IoDevice device;
    EXPECT_FALSE(device.Open());
    EXPECT_FALSE(device.GetHandle().IsValid());
    Memory memory;
    ASSERT_TRUE(memory.Open(Memory::MEM_SEQUENTIAL, 4));
    IoHandle first = memory.GetHandle();
    Memory copy(memory);
    EXPECT_TRUE(copy.GetHandle() == first);
    EXPECT_TRUE(memory.GetWriteHandle() == first);
    ASSERT_TRUE(memory.Open(Memory::MEM_RANDOM, 4));
    EXPECT_TRUE(memory.GetHandle() != first);
    EXPECT_TRUE(copy.GetHandle() == first);
}

TEST(RandomParam, CopiesOnlyFromItsOwnKind)
{
    RandomParam param;
    EXPECT_EQ(~0ull, param.GetReadPos());
    EXPECT_TRUE(param.Copy(RandomParam(3, 4)));
    EXPECT_EQ(4u, param.GetWritePos());
    IoParam plain;
    EXPECT_FALSE(param.Copy(plain));
    EXPECT_EQ(3u, param.GetReadPos());
    EXPECT_FALSE(plain.Copy(param));
    param.IncRef();
    RandomParam copied(param); // a copy starts with its own single reference
    param.DecRef();
    EXPECT_EQ(4u, copied.GetWritePos());
    EXPECT_EQ(1u, copied.GetRef());
}

TEST(IoObject, AttributesStartAsDocumentedAndRefuseBitsAbove31)
{
    IoHandle handle = Adopt(new StubIo);
    for (IoParam::Attrib bit : {IoParam::VALID, IoParam::READABLE, IoParam::WRITABLE, IoParam::LOCAL})
        EXPECT_TRUE(handle.GetAttrib(bit)) << bit;
    EXPECT_FALSE(handle.GetAttrib(IoParam::DATAGRAM));
    EXPECT_TRUE(handle.SetAttrib(IoParam::EXCEPT, true));
    EXPECT_TRUE(handle.GetAttrib(IoParam::EXCEPT));
    EXPECT_FALSE(handle.SetAttrib(static_cast<IoParam::Attrib>(32), true));
    EXPECT_FALSE(handle.GetAttrib(static_cast<IoParam::Attrib>(32)));
}

// The select engine, the idle checker and task threads change bits of one
// object at once; no change may be lost.
TEST(IoObject, AttributeChangesFromManyThreadsAreNotLost)
{
    IoHandle handle = Adopt(new StubIo);
    IoParam::Attrib const bits[] = {IoParam::IDLE, IoParam::RESERVED3, IoParam::RESERVED7, IoParam::EXCEPT};
    std::vector<std::thread> threads;
    for (IoParam::Attrib bit : bits) {
        threads.emplace_back([handle, bit]() mutable {
            for (int i = 0; i < 20000; ++i)
                handle.SetAttrib(bit, (i & 1) == 0);
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    for (IoParam::Attrib bit : bits)
        EXPECT_FALSE(handle.GetAttrib(bit)) << bit;
    EXPECT_TRUE(handle.GetAttrib(IoParam::VALID));
    EXPECT_TRUE(handle.GetAttrib(IoParam::READABLE));
}

TEST(IoObject, ParameterIsSharedAndCopiedIntoCallerBlocks)
{
    IoHandle memory = NewMemory();
    EXPECT_FALSE(memory.GetParam().IsValid());
    RandomParam* own = new RandomParam(11, 12);
    Vor::Core::Guard<IoParam> guard(own);
    own->DecRef();
    EXPECT_TRUE(memory.SetParam(guard));
    EXPECT_TRUE(memory.GetParam() == guard);

    RandomParam caller;
    ASSERT_TRUE(memory.Write("ab", 2, caller));
    EXPECT_EQ(12u, caller.GetWritePos());
    EXPECT_TRUE(memory.SetParam(Vor::Core::Guard<IoParam>()));
    EXPECT_FALSE(memory.GetParam().IsValid());
}

TEST(IoObject, TypedWritesStoreHostOrder)
{
    IoHandle memory = NewMemory();
    ASSERT_TRUE(memory.WriteUInt16(0x1234));
    ASSERT_TRUE(memory.WriteUInt32(0x89ABCDEF));
    ASSERT_TRUE(memory.WriteFloat(1.0f));
    EXPECT_EQ(std::string("\x34\x12\xEF\xCD\xAB\x89\x00\x00\x80\x3F", 10), Contents(memory));
}

TEST(IoObject, TypedReadsUseTheWholeValueOrReturnTheDefaultWhenShort)
{
    IoHandle whole = Adopt(new StubIo(std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8)));
    EXPECT_EQ(0x0201u, whole.ReadUInt16(7));
    EXPECT_EQ(0x06050403u, whole.ReadUInt32(7));
    EXPECT_EQ(0x0807u, whole.ReadUInt16(7));
    EXPECT_EQ(0x55u, whole.ReadUInt8(0x55)); // at the end: the default

    // A device may deliver fewer bytes than a value needs without failing;
    // the bytes that did not arrive must not leak into the value.
    IoHandle shortData = Adopt(new StubIo(std::string("\xAA\xBB", 2)));
    EXPECT_EQ(7u, shortData.ReadUInt32(7));
    StubIo* chunked = new StubIo(std::string(8, '\x11'));
    chunked->m_uChunk = 3;
    IoHandle chunks = Adopt(chunked);
    EXPECT_EQ(9ull, chunks.ReadUInt64(9));
    EXPECT_EQ(1.5, chunks.ReadDouble(1.5));
}

// A copy from a device into a memory object reports what actually moved.
TEST(IoObject, CopyIntoMemoryReportsTheBytesMoved)
{
    IoHandle source = Adopt(new StubIo("0123456789"));
    IoHandle memory = NewMemory();
    EXPECT_EQ(10u, source.Read(memory, 100));
    EXPECT_EQ(10u, memory.GetSize());
    EXPECT_EQ("0123456789", Contents(memory));
    EXPECT_EQ(0u, source.Read(memory, 100)); // at the end
    RandomParam param;
    IoHandle more = Adopt(new StubIo("abc"));
    EXPECT_EQ(3u, more.Read(memory, 50, param));
}

TEST(IoObject, CopiesBetweenPlainObjectsUseATemporaryBuffer)
{
    StubIo* source = new StubIo("hello world");
    StubIo* target = new StubIo;
    IoHandle src = Adopt(source);
    IoHandle dst = Adopt(target);
    EXPECT_EQ(5u, src.Read(dst, 5));
    EXPECT_EQ("hello", target->m_Written);
    EXPECT_TRUE(dst.Write(src, 6));
    EXPECT_EQ("hello world", target->m_Written);
    // The source has nothing left: a write of a whole count fails.
    EXPECT_FALSE(dst.Write(src, 1));
    EXPECT_EQ(0u, src.Read(dst, 0));

    source->m_bFailReads = true;
    EXPECT_EQ(FAILED, src.Read(dst, 4));
    source->m_bFailReads = false;
    source->m_uPos = 0;
    target->m_bFailWrites = true;
    EXPECT_EQ(FAILED, src.Read(dst, 4));
}

TEST(IoObject, CopyFromMemoryNeedsTheWholeCount)
{
    IoHandle memory = NewMemory();
    ASSERT_TRUE(memory.Write("abcdef", 6));
    ASSERT_TRUE(memory.Seek(0, IoParam::BEGIN));
    StubIo* target = new StubIo;
    IoHandle dst = Adopt(target);
    EXPECT_TRUE(dst.Write(memory, 4));
    EXPECT_EQ("abcd", target->m_Written);
    EXPECT_FALSE(dst.Write(memory, 4)); // only 2 left
}

TEST(Printf, WritesTheFormattedTextWithoutTerminator)
{
    // Wide text goes out as UTF-16 little endian (a surrogate pair beyond
    // the basic plane); 0 is an argument, not a list; empty text succeeds.
    struct Case {
        char const* name;
        std::function<bool(IoHandle&)> print;
        std::string bytes;
    };
    Case const cases[] = {
        {"narrow", [](IoHandle& m) { return m.Printf("%d", 5); }, "5"},
        {"zero argument", [](IoHandle& m) { return m.Printf("%d", 0); }, "0"},
        {"wide", [](IoHandle& m) { return m.Printf(L"%d", 5); }, std::string("5\0", 2)},
        {"wide plain", [](IoHandle& m) { return m.Printf(L"AB"); }, std::string("A\0B\0", 4)},
        {"wide beyond the plane", [](IoHandle& m) { return m.Printf(L"%ls", L"\u00E9\U0001F600"); },
         std::string("\xE9\x00\x3D\xD8\x00\xDE", 6)},
        {"empty", [](IoHandle& m) { return m.Printf("%s", ""); }, ""},
        {"wide empty", [](IoHandle& m) { return m.Printf(L"%ls", L""); }, ""},
    };
    for (Case const& c : cases) {
        IoHandle memory = NewMemory();
        EXPECT_TRUE(c.print(memory)) << c.name;
        EXPECT_EQ(c.bytes, Contents(memory)) << c.name;
    }
}

TEST(Printf, TextsAroundTheFirstBufferSizeArriveWhole)
{
    for (unsigned int length : {255u, 256u, 257u, 300u, 5000u}) {
        std::string text(length, 'x');
        text[length - 1] = 'y';
        IoHandle memory = NewMemory();
        ASSERT_TRUE(memory.Printf("%s", text.c_str())) << length;
        EXPECT_EQ(text, Contents(memory)) << length;

        std::wstring wide(length, L'w');
        IoHandle wideMemory = NewMemory();
        ASSERT_TRUE(wideMemory.Printf(L"%ls", wide.c_str())) << length;
        EXPECT_EQ(2ull * length, wideMemory.GetSize()) << length;
    }
}

// Formatting that fails must not be reported as a successful empty write.
TEST(Printf, FailedFormattingIsReported)
{
    IoHandle memory = NewMemory();
    // A field wider than the formatting limit.
    EXPECT_FALSE(memory.Printf("%*d", 1 << 24, 1));
    EXPECT_FALSE(memory.Printf(L"%*d", 1 << 24, 1));
    EXPECT_FALSE(memory.Printf(static_cast<char const*>(nullptr)));
    EXPECT_FALSE(memory.Printf(static_cast<wchar_t const*>(nullptr)));
    EXPECT_EQ(0u, memory.GetSize());
}

TEST(Printf, ParameterFormsWriteThroughTheParameter)
{
    IoHandle block = NewMemory(Memory::MEM_RANDOM, 8);
    RandomParam param(RandomParam::NONE, 2);
    ASSERT_TRUE(block.Printf(param, "%s", "xy"));
    ASSERT_TRUE(block.Printf(param, L"%c", L'z'));
    char bytes[8];
    ASSERT_EQ(8u, block.Read(bytes, 8));
    EXPECT_EQ(std::string("\0\0z\0\0\0\0\0", 8), std::string(bytes, 8));
    RandomParam nowhere; // no write position: the write fails
    EXPECT_FALSE(block.Printf(nowhere, "%s", "xy"));
}

namespace {
bool PrintThroughList(WriteHandle const& handle, char const* format, ...)
{
    va_list args;
    va_start(args, format);
    // Two consumers of one list: each gets its own copy.
    bool first = handle.VPrintf(format, args);
    bool second = handle.VPrintf(format, args);
    va_end(args);
    return first && second;
}
} // namespace

TEST(Printf, ArgumentListCanBeUsedTwice)
{
    IoHandle memory = NewMemory();
    ASSERT_TRUE(PrintThroughList(memory, "%s-%d;", "abc", 42));
    EXPECT_EQ("abc-42;abc-42;", Contents(memory));
}
