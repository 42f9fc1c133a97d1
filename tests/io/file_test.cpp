// Stream files and mapped files.
#include <vor/io/file.h>
#include <vor/io/memory.h>

#include "support/files.h"
#include "support/seek.h"
#include "support/wait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>
#include <unistd.h>

using namespace Vor::Io;
using VorTest::ReadFile;
using VorTest::TempDir;
using VorTest::WriteFile;

namespace {

constexpr unsigned int FAILED = IoObject::FAILED;
constexpr unsigned int RW = File::READ | File::WRITE;

std::string Pattern(std::size_t length, unsigned int seed)
{
    std::string bytes(length, '\0');
    for (std::size_t i = 0; i < length; ++i)
        bytes[i] = static_cast<char>((i * 131 + seed) >> 3);
    return bytes;
}

Vor::Core::Guard<PosixFile> NewStream()
{
    Vor::Core::Guard<PosixFile> file(new PosixFile);
    file->DecRef();
    return file;
}

Vor::Core::Guard<PosixMapFile> Mapped(std::string const& path, unsigned long long size, unsigned int flags,
                                      unsigned long long view = 0)
{
    Vor::Core::Guard<PosixMapFile> file(new PosixMapFile);
    file->DecRef();
    if (!file->Open(path.c_str(), size, flags, view))
        file.Clear();
    return file;
}

} // namespace

TEST(File, KnowsFilesByPathAndOpensStreamOrMappedFile)
{
    TempDir dir;
    EXPECT_FALSE(File::IsExist(dir.Path("missing")));
    EXPECT_EQ(~0ull, File::GetFileSize(dir.Path("missing")));
    ASSERT_TRUE(WriteFile(dir.Path("ten"), "0123456789"));
    EXPECT_TRUE(File::IsExist(dir.Path("ten").c_str(), 4));
    EXPECT_EQ(10u, File::GetFileSize(dir.Path("ten").c_str()));

    File file;
    EXPECT_FALSE(file.Open(dir.Path("missing"), "rb"));
    EXPECT_FALSE(file.GetHandle().IsValid());
    EXPECT_FALSE(file.Open(static_cast<char const*>(nullptr), "rb"));
    ASSERT_TRUE(file.Open(dir.Path("stream"), "wb"));
    EXPECT_TRUE(file.GetHandle().GetAttrib(IoParam::BUFFERED));
    EXPECT_FALSE(file.GetHandle().GetAttrib(IoParam::RANDOM));
    char byte;
    EXPECT_EQ(FAILED, file.GetHandle().Read(&byte, 1)) << "reading a write-only stream";
    ASSERT_TRUE(file.Open(dir.Path("mapped").c_str(), 64, RW | File::CREATE, 0));
    EXPECT_TRUE(file.GetHandle().GetAttrib(IoParam::RANDOM));
    EXPECT_EQ(64u, file.GetHandle().GetSize());
    EXPECT_FALSE(file.Open());
}

TEST(PosixFile, WritesReadsAndReportsTheEnd)
{
    TempDir dir;
    File file;
    ASSERT_TRUE(file.Open(dir.Path("data"), "wb"));
    IoHandle out = file.GetHandle();
    EXPECT_FALSE(out.Printf("%s", "")); // an empty text counts as a failure
    ASSERT_TRUE(out.Write("abc", 3));
    ASSERT_TRUE(out.Flush());
    EXPECT_EQ(3u, out.GetSize());
    EXPECT_TRUE(out.Printf("-%d-", 42));
    EXPECT_TRUE(out.Printf(L"%ls", L"\u00E9"));
    EXPECT_TRUE(out.Close());
    EXPECT_EQ("abc-42-\xC3\xA9", ReadFile(dir.Path("data")));

    ASSERT_TRUE(file.Open(dir.Path("data"), "rb"));
    IoHandle in = file.GetHandle();
    char bytes[32];
    EXPECT_EQ(9u, in.Read(bytes, sizeof bytes));
    EXPECT_EQ(0u, in.Read(bytes, sizeof bytes)); // the end is not a failure
    EXPECT_TRUE(in.Seek(-2, IoParam::END));
    EXPECT_EQ(7u, in.GetPosition());
    EXPECT_EQ(0xA9C3u, in.ReadUInt16(0));
    EXPECT_FALSE(in.Write("x", 1));
}

// A seek to the end must count what is still buffered; otherwise the next
// write lands on the buffered data.
TEST(PosixFile, SeekToTheEndCountsBufferedData)
{
    TempDir dir;
    File file;
    ASSERT_TRUE(file.Open(dir.Path("data"), "w+b"));
    IoHandle handle = file.GetHandle();
    ASSERT_TRUE(handle.Write("0123456789", 10));
    ASSERT_TRUE(handle.Seek(0, IoParam::END));
    EXPECT_EQ(10u, handle.GetPosition());
    ASSERT_TRUE(handle.Write("XY", 2));
    ASSERT_TRUE(handle.Seek(-4, IoParam::END));
    ASSERT_TRUE(handle.Write("ab", 2));
    EXPECT_TRUE(handle.Close());
    EXPECT_EQ("01234567abXY", ReadFile(dir.Path("data")));
}

TEST(PosixFile, SeekOriginsAndOffsetsBeyondRange)
{
    TempDir dir;
    ASSERT_TRUE(WriteFile(dir.Path("data"), "0123456789"));
    File file;
    ASSERT_TRUE(file.Open(dir.Path("data"), "rb"));
    IoHandle handle = file.GetHandle();
    // A refused seek leaves the position; beyond the end is allowed for streams.
    VorTest::ExpectSeeks(handle, {{-4, IoParam::BEGIN, true, 4}, {3, IoParam::CURRENT, true, 7},
                                  {-7, IoParam::CURRENT, true, 0}, {-1, IoParam::CURRENT, false, 0},
                                  {11, IoParam::END, false, 0}, {LLONG_MIN, IoParam::BEGIN, false, 0},
                                  {LLONG_MIN, IoParam::END, false, 0},
                                  {0x100000005ll, IoParam::BEGIN, true, 0x100000005ull},
                                  {LLONG_MAX, IoParam::CURRENT, false, 0x100000005ull}});
}

// fclose releases the stream even when it fails; the object must forget it
// then, or the next Close works on freed memory.
TEST(PosixFile, FailedCloseStillClosesOnce)
{
    TempDir dir;
    std::string path = dir.Path("data");
    Vor::Core::Guard<PosixFile> file = NewStream();
    ASSERT_TRUE(file->Open(path.c_str(), "wb"));
    int descriptor = VorTest::FindDescriptor(path);
    ASSERT_GE(descriptor, 0);
    ASSERT_EQ(0, ::close(descriptor)); // pulls the descriptor from under the stream
    EXPECT_FALSE(file->Close());
    EXPECT_TRUE(file->Close());
    EXPECT_FALSE(file->Write("x", 1));
    EXPECT_FALSE(file->Flush());
    EXPECT_EQ(~0ull, file->GetSize());
    EXPECT_EQ(0u, file->GetPosition());
}

TEST(PosixFile, ReopenClosesThePreviousStream)
{
    TempDir dir;
    unsigned int before = VorTest::OpenDescriptorCount();
    Vor::Core::Guard<PosixFile> file = NewStream();
    ASSERT_TRUE(file->Open(dir.Path("a").c_str(), "wb"));
    ASSERT_TRUE(file->Write("first", 5));
    ASSERT_TRUE(file->Open(dir.Path("b").c_str(), "wb"));
    EXPECT_EQ(dir.Path("b"), file->GetPath());
    EXPECT_EQ("first", ReadFile(dir.Path("a")));
    EXPECT_EQ(before + 1, VorTest::OpenDescriptorCount());
    EXPECT_FALSE(file->Open(dir.Path("missing/x").c_str(), "rb"));
    EXPECT_EQ(before, VorTest::OpenDescriptorCount());
}

TEST(PosixFile, CopiesWithMemoryObjects)
{
    TempDir dir;
    ASSERT_TRUE(WriteFile(dir.Path("ten"), "0123456789"));
    File file;
    ASSERT_TRUE(file.Open(dir.Path("ten"), "rb"));
    Memory memory;
    ASSERT_TRUE(memory.Open(Memory::MEM_SEQUENTIAL, 0));
    IoHandle mem = memory.GetHandle();
    // A 10-byte file read into memory with a count of 100 reports 10.
    EXPECT_EQ(10u, file.GetHandle().Read(mem, 100));
    EXPECT_EQ(10u, mem.GetSize());

    File out;
    ASSERT_TRUE(out.Open(dir.Path("copy"), "wb"));
    ASSERT_TRUE(mem.Seek(2, IoParam::BEGIN));
    RandomParam ignored;
    EXPECT_TRUE(out.GetHandle().Write(mem, 5, ignored));
    EXPECT_TRUE(out.GetHandle().Close());
    EXPECT_EQ("23456", ReadFile(dir.Path("copy")));
}

TEST(MapFile, DispositionsDecideWhetherTheFileIsCreatedKeptOrEmptied)
{
    // `before`/`after`: the file's content, nullptr when there is none. An
    // existing file must match the size or be empty; a read-only mapping
    // cannot extend an empty file; a mapping needs a size and access.
    unsigned int const OE = File::OPEN_EXISTING, CR = File::CREATE, TR = File::TRUNCATE;
    struct Case {
        char const* before;
        unsigned long long size;
        unsigned int flags;
        bool ok;
        char const* after;
    };
    std::string const z4(4, '\0'), z5(5, '\0'), z6(6, '\0'), z8(8, '\0'), z20(20, '\0');
    Case const cases[] = {
        {nullptr, 20, RW, false, nullptr},
        {nullptr, 20, CR, false, nullptr},
        {nullptr, 0, RW | CR, false, nullptr},
        {nullptr, 8, RW | OE | TR, false, nullptr},
        {nullptr, 8, RW | CR, true, z8.c_str()},
        {nullptr, 5, RW | OE | CR, true, z5.c_str()},
        {"0123456789", 20, RW | OE, false, "0123456789"},
        {"0123456789", 20, RW | OE | CR, false, "0123456789"},
        {"0123456789", 10, File::READ | OE, true, "0123456789"},
        {"", 20, RW | OE, true, z20.c_str()},
        {"", 20, File::READ | OE, false, ""},
        {"12345678", 8, RW | CR, false, "12345678"},
        {"12345678", 8, RW | OE | CR, true, "12345678"},
        {"12345678", 4, RW | OE | CR | TR, true, z4.c_str()},
        {"abc", 6, RW | OE | TR, true, z6.c_str()},
    };
    int index = 0;
    for (Case const& c : cases) {
        TempDir dir;
        std::string path = dir.Path("f");
        if (c.before != nullptr)
            ASSERT_TRUE(WriteFile(path, c.before));
        std::string after = c.after == nullptr ? "<missing>" : std::string(c.after, c.ok ? c.size : std::strlen(c.after));
        {
            auto file = Mapped(path, c.size, c.flags);
            ASSERT_EQ(c.ok, file.IsValid()) << "case " << index;
            if (c.ok) {
                std::string mapped(static_cast<std::size_t>(c.size), '\0');
                EXPECT_EQ(c.size, file->RandomRead(&mapped[0], 0, static_cast<unsigned int>(c.size))) << "case " << index;
                EXPECT_EQ(after, mapped) << "case " << index;
            }
        }
        EXPECT_EQ(after, ReadFile(path)) << "case " << index;
        ++index;
    }
}

TEST(MapFile, SharingFlagsDecideWhoMayOpenMeanwhile)
{
    TempDir dir;
    std::string path = dir.Path("shared");
    unsigned int const openAlways = File::OPEN_EXISTING | File::CREATE;
    {
        // A writer that lets others read only.
        auto writer = Mapped(path, 16, RW | openAlways | File::SHARE_READ);
        ASSERT_TRUE(writer.IsValid());
        // Another writer is refused; so is a reader that will not share
        // writing with the writer already there.
        EXPECT_FALSE(Mapped(path, 16, RW | File::OPEN_EXISTING | File::SHARE_READ | File::SHARE_WRITE).IsValid());
        EXPECT_FALSE(Mapped(path, 16, File::READ | File::OPEN_EXISTING | File::SHARE_READ).IsValid());
        auto reader = Mapped(path, 16, File::READ | File::OPEN_EXISTING | File::SHARE_READ | File::SHARE_WRITE);
        EXPECT_TRUE(reader.IsValid());
        // A refused open with truncation leaves the content alone.
        ASSERT_TRUE(writer->RandomWrite("data", 0, 4));
        EXPECT_FALSE(Mapped(path, 16, RW | openAlways | File::TRUNCATE | File::SHARE_READ).IsValid());
        char bytes[4];
        ASSERT_EQ(4u, reader->RandomRead(bytes, 0, 4));
        EXPECT_EQ("data", std::string(bytes, 4));
    }
    {
        // A reader that shares nothing keeps writers out, and readers too.
        auto reader = Mapped(path, 16, File::READ | File::OPEN_EXISTING);
        ASSERT_TRUE(reader.IsValid());
        EXPECT_FALSE(Mapped(path, 16, RW | File::OPEN_EXISTING | File::SHARE_READ | File::SHARE_WRITE).IsValid());
        EXPECT_FALSE(Mapped(path, 16, File::READ | File::OPEN_EXISTING | File::SHARE_READ).IsValid());
    }
    // Everyone is gone: a writer that shares nothing gets in.
    EXPECT_TRUE(Mapped(path, 16, RW | File::OPEN_EXISTING).IsValid());
}

TEST(MapFile, TransfersStopAtTheEndOfTheFile)
{
    TempDir dir;
    auto file = Mapped(dir.Path("f"), 100, RW | File::CREATE);
    ASSERT_TRUE(file.IsValid());
    char bytes[20] = {};
    EXPECT_EQ(10u, file->RandomRead(bytes, 90, 20));
    EXPECT_FALSE(file->RandomWrite(bytes, 90, 20));
    EXPECT_TRUE(file->RandomWrite(bytes, 80, 20));
    EXPECT_EQ(0u, file->RandomRead(bytes, 100, 20));
    EXPECT_EQ(FAILED, file->RandomRead(bytes, 101, 20));
    EXPECT_EQ(FAILED, file->RandomRead(bytes, ~0ull, 20));
    EXPECT_FALSE(file->RandomWrite(bytes, ~0ull - 1, 4));
    VorTest::ExpectSeeks(*file, {{101, IoParam::BEGIN, false, 0}, {100, IoParam::BEGIN, true, 100},
                                 {-40, IoParam::END, true, 60}, {LLONG_MIN, IoParam::CURRENT, false, 60}});
}

TEST(MapFile, PlainTransfersWorkAtThePositionWithoutMovingIt)
{
    TempDir dir;
    auto file = Mapped(dir.Path("f"), 32, RW | File::CREATE);
    ASSERT_TRUE(file.IsValid());
    ASSERT_TRUE(file->Seek(8, IoParam::BEGIN));
    EXPECT_TRUE(file->WriteUInt32(0xA1B2C3D4));
    EXPECT_EQ(8u, file->GetPosition());
    EXPECT_EQ(0xA1B2C3D4u, file->ReadUInt32(0));
    ASSERT_TRUE(file->Seek(30, IoParam::BEGIN));
    EXPECT_FALSE(file->WriteUInt32(1));
    EXPECT_EQ(5u, file->ReadUInt32(5)); // only two bytes left: the default
    IoParam plain;
    char bytes[4];
    EXPECT_EQ(FAILED, file->Read(bytes, 4, plain));
    EXPECT_FALSE(file->Write(bytes, 4, plain));
    RandomParam at(8, 0);
    EXPECT_EQ(4u, file->Read(bytes, 4, at));
    EXPECT_TRUE(file->Write(bytes, 4, at));
    EXPECT_EQ(std::string("\xD4\xC3\xB2\xA1", 4), ReadFile(dir.Path("f")).substr(0, 4));
}

TEST(MapFile, ReadOnlyAndClosedMappingsRefuseWrites)
{
    TempDir dir;
    ASSERT_TRUE(WriteFile(dir.Path("f"), "0123456789"));
    auto file = Mapped(dir.Path("f"), 10, File::READ | File::OPEN_EXISTING);
    ASSERT_TRUE(file.IsValid());
    EXPECT_FALSE(file->RandomWrite("x", 0, 1));
    EXPECT_FALSE(file->WriteUInt8('x'));
    EXPECT_EQ('0', file->ReadUInt8(0));
    EXPECT_TRUE(file->Close());
    char bytes[4];
    EXPECT_EQ(FAILED, file->RandomRead(bytes, 0, 4));
    EXPECT_FALSE(file->RandomWrite(bytes, 0, 4));
    EXPECT_FALSE(file->Flush());
    EXPECT_EQ(0u, file->GetSize());
    EXPECT_TRUE(file->Close());
}

// A file several windows long, read and written across window edges with
// windows of every size down to far below two pages.
TEST(MapFile, TransfersAcrossWindowEdges)
{
    for (unsigned long long view : {100ull, 4096ull, 20000ull, 65536ull}) {
        TempDir dir;
        std::string path = dir.Path("big");
        unsigned long long const size = 1u << 20;
        auto file = Mapped(path, size, RW | File::CREATE, view);
        ASSERT_TRUE(file.IsValid()) << view;
        std::string expected(size, '\0');
        // Writes of odd sizes at odd places, some larger than a window.
        unsigned long long pos = 0;
        unsigned int seed = 1;
        while (pos < size) {
            std::size_t length = static_cast<std::size_t>(std::min<unsigned long long>(7777 * seed % 90001 + 1, size - pos));
            std::string part = Pattern(length, seed++);
            ASSERT_TRUE(file->RandomWrite(part.data(), pos, static_cast<unsigned int>(length))) << view << " " << pos;
            expected.replace(static_cast<std::size_t>(pos), length, part);
            pos += length;
        }
        EXPECT_LE(file->GetViewLength(), std::max(view, 4ull * 4096) + 4096);
        std::string whole(size, '\0');
        ASSERT_EQ(size, file->RandomRead(&whole[0], 0, static_cast<unsigned int>(size))) << view;
        EXPECT_TRUE(whole == expected) << view;
        // Small reads straddling every window edge region, back to front.
        for (unsigned long long at = size - 3000; at > 53000; at -= 49999) {
            char bytes[6000];
            ASSERT_EQ(6000u, file->RandomRead(bytes, at - 3000, 6000));
            EXPECT_EQ(expected.substr(static_cast<std::size_t>(at - 3000), 6000), std::string(bytes, 6000)) << at;
        }
        EXPECT_TRUE(file->Flush());
        EXPECT_TRUE(file->Close());
        EXPECT_TRUE(ReadFile(path) == expected) << view;
    }
}

TEST(MapFile, CopiesWithOtherObjects)
{
    TempDir dir;
    auto file = Mapped(dir.Path("f"), 16, RW | File::CREATE);
    ASSERT_TRUE(file.IsValid());
    ASSERT_TRUE(file->RandomWrite("0123456789abcdef", 0, 16));
    Memory memory;
    ASSERT_TRUE(memory.Open(Memory::MEM_SEQUENTIAL, 0));
    IoHandle mem = memory.GetHandle();
    ASSERT_TRUE(file->Seek(10, IoParam::BEGIN));
    EXPECT_EQ(6u, file->Read(*mem.GetObject(), 100));
    EXPECT_EQ(6u, mem.GetSize());
    ASSERT_TRUE(mem.Seek(0, IoParam::BEGIN));
    ASSERT_TRUE(file->Seek(0, IoParam::BEGIN));
    EXPECT_TRUE(file->Write(*mem.GetObject(), 6));
    char bytes[16];
    ASSERT_EQ(16u, file->RandomRead(bytes, 0, 16));
    EXPECT_EQ("abcdef6789abcdef", std::string(bytes, 16));
    // A source that cannot deliver the whole count writes nothing.
    ASSERT_TRUE(mem.Seek(4, IoParam::BEGIN));
    EXPECT_FALSE(file->Write(*mem.GetObject(), 6));
    ASSERT_EQ(16u, file->RandomRead(bytes, 0, 16));
    EXPECT_EQ("abcdef6789abcdef", std::string(bytes, 16));
}

// Each copy reads one file and writes the other. A lock held across the
// call into the other file would let the two threads wait on each other.
TEST(MapFile, OppositeCopiesBetweenTwoFilesFinish)
{
    TempDir dir;
    auto a = Mapped(dir.Path("a"), 1 << 16, RW | File::CREATE, 8192);
    auto b = Mapped(dir.Path("b"), 1 << 16, RW | File::CREATE, 8192);
    ASSERT_TRUE(a.IsValid() && b.IsValid());
    std::atomic<int> finished{0};
    auto copy = [&finished](PosixMapFile* from, PosixMapFile* to) {
        for (unsigned int i = 0; i < 400; ++i) {
            RandomParam param((i * 4099) % 60000, (i * 7919) % 60000);
            from->RandomRead(*to, 5000, param);
        }
        ++finished;
    };
    std::thread one(copy, a.Raw(), b.Raw());
    std::thread two(copy, b.Raw(), a.Raw());
    bool done = VorTest::WaitUntil([&finished] { return finished.load() == 2; }, std::chrono::seconds(30));
    if (!done) {
        ADD_FAILURE() << "the two copies wait on each other";
        std::_Exit(1); // the threads can never be joined
    }
    one.join();
    two.join();
}

// Threads working on their own stripes of one file through a window far
// smaller than the file: every transfer may move the window under the
// others, and the object's lock keeps each transfer whole.
TEST(MapFile, ConcurrentTransfersThroughOneSmallWindow)
{
    TempDir dir;
    unsigned int const stripe = 40000;
    unsigned int const threads = 4;
    auto file = Mapped(dir.Path("f"), stripe * threads, RW | File::CREATE, 16384);
    ASSERT_TRUE(file.IsValid());
    std::atomic<int> mismatches{0};
    std::vector<std::thread> workers;
    for (unsigned int t = 0; t < threads; ++t) {
        workers.emplace_back([&file, &mismatches, t, stripe] {
            for (unsigned int round = 0; round < 30; ++round) {
                std::string part = Pattern(stripe, t * 100 + round);
                unsigned long long at = static_cast<unsigned long long>(t) * stripe;
                if (!file->RandomWrite(part.data(), at, stripe))
                    ++mismatches;
                std::string back(stripe, '\0');
                if (file->RandomRead(&back[0], at, stripe) != stripe || back != part)
                    ++mismatches;
                file->Seek(static_cast<long long>(at), IoParam::BEGIN);
            }
        });
    }
    for (std::thread& worker : workers)
        worker.join();
    EXPECT_EQ(0, mismatches.load());
    EXPECT_LT(file->GetPosition(), static_cast<unsigned long long>(stripe) * threads);
}

// Positions past 4 GiB in a sparse file: nothing may be cut to 32 bits.
TEST(MapFile, PositionsAcross4GiB)
{
    TempDir dir;
    unsigned long long const four = 1ull << 32;
    auto file = Mapped(dir.Path("sparse"), four + 65536, RW | File::CREATE, 65536);
    ASSERT_TRUE(file.IsValid());
    std::string part = Pattern(10000, 7);
    ASSERT_TRUE(file->RandomWrite(part.data(), four - 5000, 10000));
    std::string back(10000, '\0');
    ASSERT_EQ(10000u, file->RandomRead(&back[0], four - 5000, 10000));
    EXPECT_TRUE(back == part);
    char low[8];
    ASSERT_EQ(8u, file->RandomRead(low, 0, 8));
    EXPECT_EQ(std::string(8, '\0'), std::string(low, 8)); // not the bytes written past 4 GiB
    ASSERT_TRUE(file->Seek(static_cast<long long>(four + 5), IoParam::BEGIN));
    EXPECT_EQ(four + 5, file->GetPosition());
    EXPECT_EQ(static_cast<unsigned int>(static_cast<unsigned char>(part[5005])), file->ReadUInt8(0));
    EXPECT_TRUE(file->Seek(-65536, IoParam::END));
    EXPECT_EQ(four, file->GetPosition());
    EXPECT_FALSE(file->Seek(static_cast<long long>(four + 65537), IoParam::BEGIN));
}
