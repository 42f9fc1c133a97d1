// Handles, the null object, typed transfers, object-to-object copies and
// formatted output of the I/O object model.
#include <vor/io/iobase.h>
#include <vor/io/socket.h>

#include "support/stubio.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <functional>
#include <thread>
#include <vector>

using namespace Vor::Io;
using namespace VorTest;

namespace {

constexpr unsigned int FAILED = IoObject::FAILED;
int g_Destroyed = 0;
IoHandle* g_pOwner = nullptr;
bool g_bCopyValid = true;

bool PrintTwice(WriteHandle const& handle, char const* format, ...)
{
    va_list args;
    va_start(args, format);
    // Two consumers of one list: each must get its own copy.
    bool first = handle.VPrintf(format, args), second = handle.VPrintf(format, args);
    va_end(args);
    return first && second;
}

} // namespace

TEST(IoHandle, EmptyHandleFailsHarmlessly)
{
    IoHandle empty;
    char buffer[4];
    EXPECT_FALSE(empty.Clear() || empty.Close() || empty.Flush() || empty.Seek(0, IoParam::BEGIN));
    EXPECT_FALSE(empty.WriteUInt32(1) || empty.Write(buffer, 4) || empty.Printf("%d", 5));
    EXPECT_EQ(7u, empty.ReadUInt32(7));
    EXPECT_EQ(FAILED, empty.Read(buffer, 4));
    EXPECT_FALSE(empty.GetObject().IsValid());
}

TEST(IoHandle, CopiesShareOneObjectWhichARefusedCloseKeepsAndTheLastReleaseDestroys)
{
    g_Destroyed = 0;
    StubIo* stub = new StubIo("\x09");
    stub->m_pOnDestroy = [](StubIo*) { ++g_Destroyed; };
    IoHandle first = Adopt(stub), second = first;
    ReadHandle reader(first);
    EXPECT_TRUE(reader == first && IoHandle(static_cast<IoBase const&>(reader)) == first);
    EXPECT_EQ(9u, reader.ReadUInt8());
    stub->m_bRefuseClose = true;
    EXPECT_FALSE(first.Close());
    stub->m_bRefuseClose = false;
    EXPECT_TRUE(first.Close() && !first.IsValid());
    reader = IoHandle();
    EXPECT_EQ(0, g_Destroyed);
    EXPECT_TRUE(second.Clear());
    EXPECT_EQ(1, g_Destroyed);
    // A copy taken from a handle whose object is being destroyed is empty.
    StubIo* dying = new StubIo;
    IoHandle owner = Adopt(dying);
    g_pOwner = &owner;
    dying->m_pOnDestroy = [](StubIo*) { g_bCopyValid = IoHandle(*g_pOwner).IsValid(); };
    EXPECT_TRUE(owner.Clear());
    EXPECT_FALSE(g_bCopyValid);
    // A copied parameter block starts with its own single reference.
    auto param = Vor::Core::New<RandomParam>(3, 4), held = param;
    EXPECT_EQ(1u, RandomParam(*param).GetRef());
}

TEST(IoObject, AttributeChangesFromManyThreadsAreNotLost)
{
    // The select engine, the idle checker and task threads change bits of
    // one object at once; no change may be lost.
    IoHandle handle = Adopt(new StubIo);
    EXPECT_FALSE(handle.SetAttrib(static_cast<IoParam::Attrib>(32), true));
    IoParam::Attrib const bits[] = {IoParam::IDLE, IoParam::RESERVED3, IoParam::RESERVED7, IoParam::EXCEPT};
    std::vector<std::thread> threads;
    for (IoParam::Attrib bit : bits)
        threads.emplace_back([handle, bit]() mutable {
            for (int i = 0; i < 20000; ++i)
                handle.SetAttrib(bit, (i & 1) == 0);
        });
    for (std::thread& thread : threads)
        thread.join();
    for (IoParam::Attrib bit : bits)
        EXPECT_FALSE(handle.GetAttrib(bit)) << bit;
    EXPECT_TRUE(handle.GetAttrib(IoParam::VALID) && handle.GetAttrib(IoParam::READABLE));
}

// Several attributes at once: an object whose class answers attributes its
// own way hears each bit of the change; a library socket takes the change
// in one step, and loses none beside other threads' single changes.
TEST(IoObject, AttributeWordsGoThroughTheClassesOwnCallsOrInOneStep)
{
    struct Answering : StubIo {
        bool GetAttrib(IoParam::Attrib bit) const override { return asked.push_back(bit), bit == IoParam::EXCEPT; }
        bool SetAttrib(IoParam::Attrib bit, bool on) override { return told.emplace_back(bit, on), true; }
        mutable std::vector<int> asked;
        std::vector<std::pair<int, bool>> told;
    };
    Answering* answering = new Answering;
    IoHandle own = Adopt(answering);
    // Its exact type only, not a base.
    EXPECT_TRUE(own.AsExact<Answering>() == answering && own.AsExact<StubIo>() == nullptr);
    unsigned int const idle = 1u << IoParam::IDLE, except = 1u << IoParam::EXCEPT, readable = 1u << IoParam::READABLE;
    own.SetAttribs(readable | idle, idle | except);
    EXPECT_EQ((std::vector<std::pair<int, bool>>{{IoParam::READABLE, false}, {IoParam::IDLE, true}, {IoParam::EXCEPT, true}}),
              answering->told);
    EXPECT_EQ(except, own.GetAttribs(idle | except));
    EXPECT_EQ((std::vector<int>{IoParam::IDLE, IoParam::EXCEPT}), answering->asked);

    Socket socket;
    ASSERT_TRUE(socket.Open(Socket::SOCKET_TCP));
    IoHandle tcp = socket.GetHandle();
    tcp.SetAttribs(readable, idle | except);
    EXPECT_TRUE(!tcp.GetAttrib(IoParam::READABLE) && tcp.GetAttrib(IoParam::IDLE) && tcp.GetAttrib(IoParam::EXCEPT));
    EXPECT_EQ(idle | except, tcp.GetAttribs(readable | idle | except));
    // Each thread reads back its own bits after each change: another
    // thread's change in between must not undo it.
    int lost = 0;
    std::thread single([tcp, &lost]() mutable {
        for (int i = 0; i < 100000; ++i) {
            bool on = (i & 1) == 0;
            tcp.SetAttrib(IoParam::RESERVED7, on);
            lost += tcp.GetAttrib(IoParam::RESERVED7) != on;
        }
    });
    int lostHere = 0;
    for (int i = 0; i < 100000; ++i) {
        unsigned int want = (i & 1) == 0 ? idle : except;
        tcp.SetAttribs(idle | except, want);
        lostHere += tcp.GetAttribs(idle | except) != want;
    }
    single.join();
    EXPECT_EQ(0, lost + lostHere);
    EXPECT_TRUE(tcp.GetAttrib(IoParam::VALID));
}

TEST(IoObject, TypedValuesUseHostOrderAndAShortReadGivesTheDefault)
{
    IoHandle memory = OpenMemory();
    ASSERT_TRUE(memory.WriteUInt16(0x1234) && memory.WriteUInt32(0x89ABCDEF) && memory.WriteFloat(1.0f));
    EXPECT_EQ(std::string("\x34\x12\xEF\xCD\xAB\x89\x00\x00\x80\x3F", 10), Contents(memory));
    // A device may deliver fewer bytes than a value needs without failing;
    // the bytes that did not arrive must not leak into the value.
    IoHandle shortData = Adopt(new StubIo(std::string("\x01\x02\x03\x04\x05\x06", 6)));
    EXPECT_EQ(0x0201u, shortData.ReadUInt16(7));
    EXPECT_EQ(7u, shortData.ReadUInt64(7));
    EXPECT_EQ(1.5, Adopt(new StubIo("\x11\x11\x11")).ReadDouble(1.5));
}

TEST(IoObject, CopiesReportTheBytesMovedAndFailWhenEitherSideFails)
{
    // A copy into a memory object reports what actually moved, not the count asked.
    IoHandle source = Adopt(new StubIo("0123456789")), memory = OpenMemory();
    EXPECT_EQ(10u, source.Read(memory, 100));
    EXPECT_EQ(0u, source.Read(memory, 100)); // at the end
    RandomParam param;
    EXPECT_EQ(3u, Adopt(new StubIo("abc")).Read(memory, 50, param));
    EXPECT_EQ("0123456789abc", Contents(memory));
    StubIo* from = new StubIo("hello world");
    StubIo* to = new StubIo;
    IoHandle src = Adopt(from), dst = Adopt(to);
    EXPECT_EQ(5u, src.Read(dst, 5));
    EXPECT_TRUE(dst.Write(src, 6));
    EXPECT_EQ("hello world", to->m_Written);
    EXPECT_FALSE(dst.Write(src, 1)); // nothing left: not the whole count
    from->m_uPos = 0;
    from->m_bFailReads = true;
    EXPECT_EQ(FAILED, src.Read(dst, 4));
    from->m_bFailReads = false;
    to->m_bFailWrites = true;
    EXPECT_EQ(FAILED, src.Read(dst, 4));
    ASSERT_TRUE(memory.Seek(10, IoParam::BEGIN));
    EXPECT_FALSE(Adopt(new StubIo).Write(memory, 4)) << "from memory a write needs the whole count";
}

TEST(Printf, WritesTheWholeFormattedTextWithoutTerminatorAndReportsFailedFormatting)
{
    // Wide text goes out as UTF-16 little endian (a surrogate pair beyond
    // the basic plane); 0 is an argument, not a list; empty text succeeds.
    std::pair<std::function<bool(IoHandle&)>, std::string> const cases[] = {
        {[](IoHandle& m) { return m.Printf("%d", 0); }, "0"},
        {[](IoHandle& m) { return m.Printf(L"AB"); }, std::string("A\0B\0", 4)},
        {[](IoHandle& m) { return m.Printf(L"%ls", L"\u00E9\U0001F600"); }, std::string("\xE9\x00\x3D\xD8\x00\xDE", 6)},
        {[](IoHandle& m) { return m.Printf("%s", "") && m.Printf(L"%ls", L""); }, ""},
        {[](IoHandle& m) { return PrintTwice(m, "%s-%d;", "abc", 42); }, "abc-42;abc-42;"},
    };
    for (auto const& c : cases) {
        IoHandle memory = OpenMemory();
        EXPECT_TRUE(c.first(memory)) << c.second;
        EXPECT_EQ(c.second, Contents(memory));
    }
    for (unsigned int length : {255u, 256u, 257u, 300u, 5000u}) {
        std::string text(length - 1, 'x');
        IoHandle memory = OpenMemory(), wide = OpenMemory();
        ASSERT_TRUE(memory.Printf("%s%c", text.c_str(), 'y') && wide.Printf(L"%ls", std::wstring(length, L'w').c_str()));
        EXPECT_EQ(text + 'y', Contents(memory));
        EXPECT_EQ(2ull * length, wide.GetSize());
    }
    IoHandle memory = OpenMemory(), block = OpenMemory(Memory::MEM_RANDOM, 8);
    EXPECT_FALSE(memory.Printf("%*d", 1 << 24, 1) || memory.Printf(L"%*d", 1 << 24, 1)) << "wider than the limit";
    EXPECT_FALSE(memory.Printf(static_cast<char const*>(nullptr)) || memory.Printf(static_cast<wchar_t const*>(nullptr)));
    EXPECT_EQ(0u, memory.GetSize());
    RandomParam at(RandomParam::NONE, 2), nowhere;
    ASSERT_TRUE(block.Printf(at, "%s", "xy") && block.Printf(at, L"%c", L'z'));
    EXPECT_EQ(std::string("\0\0z\0\0\0\0\0", 8), ReadText(block, 8));
    EXPECT_FALSE(block.Printf(nowhere, "%s", "xy")) << "no write position";
}
