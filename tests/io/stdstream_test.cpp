// The standard streams, each case run in a child process whose descriptors
// 0, 1 and 2 are pipes.
#include <vor/io/stdstream.h>

#include "support/child.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <unistd.h>

using namespace Vor::Io;
using VorTest::ChildResult;

namespace {

IoHandle OpenStreams(unsigned int mask)
{
    StdStream stream;
    return stream.Open(mask) ? stream.GetHandle() : IoHandle();
}

// Runs `body` in a child and expects it to finish with 0.
ChildResult RunChecked(std::function<int()> const& body, std::string const& input = std::string())
{
    ChildResult result = VorTest::RunInChild(body, input);
    EXPECT_TRUE(result.finished);
    EXPECT_EQ(0, result.exitCode) << "stdout: " << result.out << "\nstderr: " << result.err;
    return result;
}

} // namespace

TEST(StdStreamIo, TypedWritesAndPrintfAreTextOnTheSelectedStreamEvenAfterClose)
{
    StdStream stream;
    EXPECT_FALSE(stream.Open()); // a mask is needed
    ChildResult result = RunChecked([] {
        IoHandle out = OpenStreams(StdStream::STD_OUT), err = OpenStreams(StdStream::STD_ERR);
        bool done = out.WriteUInt32(42) && out.WriteUInt8(65) && out.WriteUInt64(1ull << 40) && out.WriteDouble(-0.25) &&
                    out.Printf("%s", "|plain") && !out.Seek(0, IoParam::BEGIN);
        done = done && err.Printf("%s=%d;", "n", 5) && err.Printf(L"%ls", L"\u00E9") && err.Flush();
        // Closing the object leaves the process's streams usable.
        return done && out.GetObject()->Close() && out.Write("|still", 6) ? 0 : 1;
    });
    EXPECT_EQ("42A1099511627776-0.25|plain|still", result.out);
    EXPECT_EQ("n=5;\xC3\xA9", result.err);
}

TEST(StdStreamIo, TypedReadsExtractTextOrKeepTheDefault)
{
    // A failed extraction stores 0 in its target; the default must stand.
    std::pair<std::string, std::function<bool(IoHandle&)>> const cases[] = {
        {"123 x 2.5", [](IoHandle& in) { return in.ReadUInt32(7) == 123 && in.ReadUInt8('?') == 'x' && in.ReadDouble(0) == 2.5; }},
        {"abc", [](IoHandle& in) { return in.ReadUInt32(7) == 7 && in.ReadUInt16(9) == 9 && in.ReadFloat(1.5f) == 1.5f; }},
        {"", [](IoHandle& in) { return in.ReadUInt64(5) == 5 && in.ReadUInt8('d') == 'd'; }},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE("input \"" + c.first + "\"");
        RunChecked([&c] {
            IoHandle in = OpenStreams(StdStream::STD_IN);
            return c.second(in) ? 0 : 1;
        }, c.first);
    }
}

TEST(StdStreamIo, RawTransfersUseTheSelectedStreamsAndReadReturnsWhatArrivedBeforeTheEnd)
{
    ChildResult result = RunChecked([] {
        IoHandle io = OpenStreams(StdStream::STD_IN | StdStream::STD_ERR);
        IoHandle out = OpenStreams(StdStream::STD_OUT | StdStream::STD_ERR); // standard output wins
        char bytes[16];
        unsigned int first = io.Read(bytes, 5), rest = io.Read(bytes + 5, 16), after = io.Read(bytes, 16);
        bool done = io.Write(bytes, 5) && out.Write("out", 3) && out.Write("", 0) && io.Flush();
        std::printf("|%u %u %u", first, rest, after);
        ::close(2); // the selected stream no longer takes bytes: a write fails
        std::string big(1 << 16, 'x');
        done = done && !io.Write(big.data(), static_cast<unsigned int>(big.size()));
        return done && first == 5 && rest == 6 && after == IoObject::FAILED ? 0 : 1;
    }, "hello world");
    EXPECT_EQ("out|5 6 4294967295", result.out);
    EXPECT_EQ("hello", result.err);
}
