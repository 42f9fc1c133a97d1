// Stream files and mapped files.
#include <vor/core/guard.h>
#include <vor/io/file.h>

#include "platform/file.h"
#include "support/files.h"
#include "support/stubio.h"
#include "support/wait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <string>
#include <thread>
#include <unistd.h>

using namespace Vor::Io;
using namespace VorTest;

namespace {

constexpr unsigned int FAILED = IoObject::FAILED;
constexpr unsigned int RW = File::READ | File::WRITE, OE = File::OPEN_EXISTING, CR = File::CREATE;

std::string Pattern(std::size_t length, unsigned int seed)
{
    std::string bytes(length, '\0');
    for (std::size_t i = 0; i < length; ++i)
        bytes[i] = static_cast<char>((i * 131 + seed) >> 3);
    return bytes;
}

Vor::Core::Guard<VOR_NATIVE(MapFile)> Mapped(std::string const& path, unsigned long long size, unsigned int flags,
                                      unsigned long long view = 0)
{
    auto file = Vor::Core::New<VOR_NATIVE(MapFile)>();
    if (!file->Open(path.c_str(), size, flags, view))
        file.Clear();
    return file;
}

} // namespace

TEST(VOR_NATIVE(File), WritesReadsSeeksAndCountsBufferedDataAtTheEnd)
{
    TempDir dir;
    File file;
    ASSERT_TRUE(file.Open(dir.Path("data"), "w+b"));
    IoHandle io = file.GetHandle();
    EXPECT_FALSE(io.Printf("%s", "")); // an empty text counts as a failure
    ASSERT_TRUE(io.Write("0123456789", 10) && io.Printf(L"%ls", L"\u00E9"));
    // A seek to the end counts what is still buffered; otherwise the next
    // write lands on the buffered data.
    ASSERT_TRUE(io.Seek(0, IoParam::END));
    EXPECT_EQ(12u, io.GetPosition());
    ASSERT_TRUE(io.Write("XY", 2) && io.Seek(-6, IoParam::END) && io.Write("ab", 2) && io.Flush());
    EXPECT_EQ("01234567ab\xC3\xA9XY", ReadFile(dir.Path("data")));
    EXPECT_EQ(14u, File::GetFileSize(dir.Path("data")));
    // Refused seeks leave the position; beyond the end is allowed for streams.
    ExpectSeeks(io, {{-4, IoParam::BEGIN, true, 4}, {-5, IoParam::CURRENT, false, 4}, {15, IoParam::END, false, 4},
                     {LLONG_MIN, IoParam::END, false, 4}, {0x100000005ll, IoParam::BEGIN, true, 0x100000005ull},
                     {LLONG_MAX, IoParam::CURRENT, false, 0x100000005ull}, {-2, IoParam::END, true, 12}});
    EXPECT_EQ("XY", ReadText(io, 10));
    EXPECT_EQ("", ReadText(io, 10)); // the end is not a failure
}

TEST(VOR_NATIVE(File), FailedCloseStillClosesOnceAndReopenClosesThePreviousStream)
{
    // fclose releases the stream even when it fails; the object must forget
    // it then, or the next Close works on freed memory.
    TempDir dir;
    // The first stream of a process may set up handles of the runtime's
    // own (Windows): one is opened and closed before counting.
    Vor::Core::New<VOR_NATIVE(File)>()->Open(dir.Path("warm").c_str(), "wb");
    unsigned int before = OpenDescriptorCount();
    auto file = Vor::Core::New<VOR_NATIVE(File)>();
    ASSERT_TRUE(file->Open(dir.Path("a").c_str(), "wb"));
    ASSERT_TRUE(file->Write("first", 5));
    ASSERT_TRUE(file->Open(dir.Path("b").c_str(), "wb"));
    EXPECT_EQ("first", ReadFile(dir.Path("a")));
    EXPECT_EQ(before + 1, OpenDescriptorCount());
    int descriptor = FindDescriptor(dir.Path("b"));
    ASSERT_TRUE(descriptor >= 0 && ::close(descriptor) == 0); // pulls the descriptor from under the stream
    EXPECT_FALSE(file->Close());
    EXPECT_TRUE(file->Close());
    EXPECT_FALSE(file->Write("x", 1) || file->Flush());
    EXPECT_FALSE(file->Open(dir.Path("missing/x").c_str(), "rb"));
    EXPECT_EQ(before, OpenDescriptorCount());
}

TEST(MapFile, DispositionsDecideWhetherTheFileIsCreatedKeptOrEmptied)
{
    // `before`/`after`: the file's content, nullptr when there is none. An
    // existing file must match the size or be empty; a read-only mapping
    // cannot extend an empty file; a mapping needs a size and access.
    unsigned int const TR = File::TRUNCATE;
    struct Case { char const* before; unsigned long long size; unsigned int flags; bool ok; char const* after; };
    Case const cases[] = {
        {nullptr, 20, RW, false, nullptr},      {nullptr, 20, CR, false, nullptr},
        {nullptr, 0, RW | CR, false, nullptr},  {nullptr, 8, RW | OE | TR, false, nullptr},
        {nullptr, 8, RW | CR, true, ""},         {"0123456789", 20, RW | OE | CR, false, "0123456789"},
        {"0123456789", 10, File::READ | OE, true, "0123456789"}, {"", 20, RW | OE, true, ""},
        {"", 20, File::READ | OE, false, ""},   {"12345678", 8, RW | CR, false, "12345678"},
        {"12345678", 8, RW | OE | CR, true, "12345678"}, {"12345678", 4, RW | OE | CR | TR, true, ""},
        {"abc", 6, RW | OE | TR, true, ""},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(std::string(c.before ? c.before : "<none>") + " " + std::to_string(c.flags));
        TempDir dir;
        std::string path = dir.Path("f");
        ASSERT_TRUE(c.before == nullptr || WriteFile(path, c.before));
        // A new or emptied file is filled with zeros up to the size.
        std::string after = c.after == nullptr ? "<missing>" : c.after;
        if (c.ok && after.empty())
            after.assign(c.size, '\0');
        {
            auto file = Mapped(path, c.size, c.flags);
            ASSERT_EQ(c.ok, file.IsValid());
            if (c.ok)
                EXPECT_EQ(after, ReadText(*file, static_cast<unsigned int>(c.size)));
        }
        EXPECT_EQ(after, ReadFile(path));
    }
}

TEST(MapFile, SharingFlagsDecideWhoMayOpenMeanwhile)
{
    TempDir dir;
    std::string path = dir.Path("shared");
    unsigned int const SR = File::SHARE_READ, SW = File::SHARE_WRITE;
    {
        auto writer = Mapped(path, 16, RW | OE | CR | SR); // lets others read only
        ASSERT_TRUE(writer.IsValid() && writer->RandomWrite("data", 0, 4));
        EXPECT_FALSE(Mapped(path, 16, RW | OE | SR | SW).IsValid());
        EXPECT_FALSE(Mapped(path, 16, File::READ | OE | SR).IsValid()) << "a reader must share writing";
        auto reader = Mapped(path, 16, File::READ | OE | SR | SW);
        EXPECT_TRUE(reader.IsValid());
        EXPECT_FALSE(Mapped(path, 16, RW | OE | CR | File::TRUNCATE | SR).IsValid());
        EXPECT_EQ("data", ReadText(*reader, 4)); // the refused truncation left the content
    }
    {
        auto reader = Mapped(path, 16, File::READ | OE); // shares nothing
        ASSERT_TRUE(reader.IsValid());
        EXPECT_FALSE(Mapped(path, 16, File::READ | OE | SR).IsValid());
    }
    EXPECT_TRUE(Mapped(path, 16, RW | OE).IsValid());
}

TEST(MapFile, TransfersStopAtTheEndAndReadOnlyOrClosedMappingsRefuseWrites)
{
    TempDir dir;
    auto file = Mapped(dir.Path("f"), 100, RW | CR);
    ASSERT_TRUE(file.IsValid());
    char bytes[20] = {};
    EXPECT_EQ(10u, file->RandomRead(bytes, 90, 20));
    EXPECT_FALSE(file->RandomWrite(bytes, 90, 20));
    EXPECT_TRUE(file->RandomWrite("\xD4\xC3\xB2\xA1", 80, 4));
    EXPECT_EQ(0u, file->RandomRead(bytes, 100, 20));
    EXPECT_TRUE(file->RandomRead(bytes, 101, 20) == FAILED && file->RandomRead(bytes, ~0ull, 20) == FAILED);
    EXPECT_FALSE(file->RandomWrite(bytes, ~0ull - 1, 4));
    ExpectSeeks(*file, {{101, IoParam::BEGIN, false, 0}, {-20, IoParam::END, true, 80}});
    EXPECT_EQ(0xA1B2C3D4u, file->ReadUInt32(0)); // at the position, which stays
    ASSERT_TRUE(file->GetPosition() == 80 && file->Seek(98, IoParam::BEGIN));
    EXPECT_EQ(5u, file->ReadUInt32(5)); // only two bytes left: the default
    ASSERT_TRUE(file->Close());
    EXPECT_EQ(FAILED, file->RandomRead(bytes, 0, 4));
    auto readOnly = Mapped(dir.Path("f"), 100, File::READ | OE);
    EXPECT_FALSE(!readOnly.IsValid() || readOnly->RandomWrite("x", 0, 1) || readOnly->WriteUInt8('x'));
}

TEST(MapFile, TransfersAcrossWindowEdges)
{
    // A file several windows long, written in odd sizes at odd places (some
    // larger than a window) and read back, with windows of every size down
    // to far below two pages.
    for (unsigned long long view : {100ull, 4096ull, 20000ull, 65536ull}) {
        TempDir dir;
        std::string path = dir.Path("big");
        unsigned int const size = 1u << 20;
        auto file = Mapped(path, size, RW | CR, view);
        ASSERT_TRUE(file.IsValid()) << view;
        std::string expected;
        for (unsigned int seed = 1; expected.size() < size; ++seed) {
            std::string part = Pattern(std::min<std::size_t>(7777 * seed % 90001 + 1, size - expected.size()), seed);
            ASSERT_TRUE(file->RandomWrite(part.data(), expected.size(), static_cast<unsigned int>(part.size())));
            expected += part;
        }
        // Views start at the system's granularity (a page here, 64 KiB on
        // Windows).
        unsigned long long unit = std::max(4096u, Vor::Platform::AllocationGranularity());
        EXPECT_LE(file->GetViewLength(), std::max(view, 4 * unit) + unit);
        EXPECT_TRUE(ReadText(*file, size) == expected) << view;
        for (unsigned int at = size - 6000; at > 50000; at -= 49999) { // back to front
            char bytes[6000];
            ASSERT_EQ(6000u, file->RandomRead(bytes, at, 6000));
            EXPECT_TRUE(expected.compare(at, 6000, bytes, 6000) == 0) << at;
        }
        EXPECT_TRUE(file->Close());
        EXPECT_TRUE(ReadFile(path) == expected) << view;
    }
}

TEST(MapFile, OppositeCopiesBetweenTwoFilesFinish)
{
    // Each copy reads one file and writes the other. A lock held across the
    // call into the other file would let the two threads wait on each other.
    TempDir dir;
    auto a = Mapped(dir.Path("a"), 1 << 16, RW | CR, 8192), b = Mapped(dir.Path("b"), 1 << 16, RW | CR, 8192);
    ASSERT_TRUE(a.IsValid() && b.IsValid());
    std::atomic<int> finished{0};
    auto copy = [&finished](VOR_NATIVE(MapFile)* from, VOR_NATIVE(MapFile)* to) {
        for (unsigned int i = 0; i < 400; ++i) {
            RandomParam param((i * 4099) % 60000, (i * 7919) % 60000);
            from->RandomRead(*to, 5000, param);
        }
        ++finished;
    };
    std::thread one(copy, a.Raw(), b.Raw()), two(copy, b.Raw(), a.Raw());
    if (!WaitUntil([&finished] { return finished.load() == 2; }, std::chrono::seconds(30))) {
        ADD_FAILURE() << "the two copies wait on each other";
        std::_Exit(1); // the threads can never be joined
    }
    one.join();
    two.join();
}

TEST(MapFile, ConcurrentTransfersThroughOneSmallWindowStayWhole)
{
    // Threads on their own stripes of one file, through a window far smaller
    // than the file: every transfer may move the window under the others.
    TempDir dir;
    unsigned int const stripe = 40000;
    auto file = Mapped(dir.Path("f"), stripe * 4, RW | CR, 16384);
    ASSERT_TRUE(file.IsValid());
    std::atomic<int> mismatches{0};
    auto work = [&](unsigned int t) {
        for (unsigned int round = 0; round < 30; ++round) {
            std::string part = Pattern(stripe, t * 100 + round), back(stripe, '\0');
            mismatches += !file->RandomWrite(part.data(), t * stripe, stripe) ||
                          file->RandomRead(&back[0], t * stripe, stripe) != stripe || back != part;
        }
    };
    std::thread a(work, 0), b(work, 1), c(work, 2), d(work, 3);
    a.join(), b.join(), c.join(), d.join();
    EXPECT_EQ(0, mismatches.load());
}

TEST(MapFile, PositionsAcross4GiB)
{
    // A sparse file past 4 GiB: nothing may be cut to 32 bits.
    TempDir dir;
    unsigned long long const four = 1ull << 32;
    auto file = Mapped(dir.Path("sparse"), four + 65536, RW | CR, 65536);
    ASSERT_TRUE(file.IsValid());
    std::string part = Pattern(10000, 7), back(10000, '\0');
    ASSERT_TRUE(file->RandomWrite(part.data(), four - 5000, 10000));
    ASSERT_EQ(10000u, file->RandomRead(&back[0], four - 5000, 10000));
    EXPECT_TRUE(back == part);
    EXPECT_EQ(std::string(8, '\0'), ReadText(*file, 8)); // not the bytes written past 4 GiB
    ASSERT_TRUE(file->Seek(static_cast<long long>(four + 5), IoParam::BEGIN));
    EXPECT_EQ(static_cast<unsigned char>(part[5005]), file->ReadUInt8(0));
    ExpectSeeks(*file, {{-65536, IoParam::END, true, four}, {static_cast<long long>(four + 65537), IoParam::BEGIN, false, four}});
}
