// The standard streams, each case run in a child process whose descriptors
// 0, 1 and 2 are pipes.
#include <vor/io/stdstream.h>

#include "support/child.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <unistd.h>

using namespace Vor::Io;
using VorTest::ChildResult;
using VorTest::RunInChild;

namespace {

constexpr unsigned int FAILED = IoObject::FAILED;

IoHandle OpenStreams(unsigned int mask)
{
    StdStream stream;
    if (!stream.Open(mask))
        return IoHandle();
    return stream.GetHandle();
}

// Runs `body` in a child and expects it to finish with 0.
ChildResult RunChecked(std::function<int()> const& body, std::string const& input = std::string())
{
    ChildResult result = RunInChild(body, input);
    EXPECT_TRUE(result.finished);
    EXPECT_EQ(0, result.exitCode) << "stdout: " << result.out << "\nstderr: " << result.err;
    return result;
}

} // namespace

TEST(StdStream, OpensWithAMaskAndRefusesOtherParameters)
{
    StdStream stream;
    EXPECT_TRUE(stream.Open(StdStream::STD_IN | StdStream::STD_OUT));
    IoHandle handle = stream.GetHandle();
    EXPECT_TRUE(handle.GetAttrib(IoParam::BUFFERED));
    EXPECT_TRUE(handle.GetAttrib(IoParam::LOCAL));
    EXPECT_FALSE(handle.GetAttrib(IoParam::DATAGRAM));
    EXPECT_FALSE(handle.Seek(0, IoParam::BEGIN));
    EXPECT_EQ(~0ull, handle.GetSize());
    EXPECT_FALSE(stream.Open());
    EXPECT_FALSE(stream.GetHandle().IsValid());
}

TEST(StdStreamIo, TypedWritesAndPrintfAreTextOnTheSelectedStreamEvenAfterClose)
{
    ChildResult result = RunChecked([] {
        IoHandle out = OpenStreams(StdStream::STD_OUT);
        bool done = out.WriteUInt32(42) && out.WriteUInt8(65) && out.WriteUInt16(7) && out.WriteUInt64(1ull << 40) &&
                    out.WriteFloat(1.5f) && out.WriteDouble(-0.25) && out.Printf("%s", "|plain");
        IoHandle err = OpenStreams(StdStream::STD_ERR);
        done = done && err.Printf("%s=%d;", "n", 5) && err.Printf(L"%ls", L"\u00E9") && err.Printf("%s", "") &&
               err.Flush();
        // Closing the object leaves the process's streams usable.
        return done && out.GetObject()->Close() && out.Write("|still", 6) ? 0 : 1;
    });
    EXPECT_EQ("42A71099511627776" "1.5-0.25|plain|still", result.out);
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

TEST(StdStreamIo, RawTransfersUseTheSelectedStreams)
{
    ChildResult result = RunChecked([] {
        IoHandle io = OpenStreams(StdStream::STD_IN | StdStream::STD_ERR);
        char bytes[5];
        if (io.Read(bytes, 5) != 5 || !io.Write(bytes, 5))
            return 1;
        IoHandle out = OpenStreams(StdStream::STD_OUT | StdStream::STD_ERR); // standard output wins
        return out.Write("out", 3) && out.Write("", 0) ? 0 : 2;
    }, "hello world");
    EXPECT_EQ("hello", result.err);
    EXPECT_EQ("out", result.out);
}

// At the end of the input a read returns what arrived, and the failure
// marker once nothing did.
TEST(StdStreamIo, ReadAtTheEndOfInput)
{
    ChildResult result = RunChecked([] {
        IoHandle in = OpenStreams(StdStream::STD_IN);
        char bytes[16];
        unsigned int first = in.Read(bytes, 16);
        unsigned int second = in.Read(bytes, 16);
        unsigned int none = in.Read(bytes, 0);
        std::printf("%u %u %u", first, second, none);
        return first == 3 && second == FAILED && none == 0 ? 0 : 1;
    }, "abc");
    EXPECT_EQ("3 4294967295 0", result.out);
}

TEST(StdStreamIo, WriteToAClosedPipeFails)
{
    ChildResult result = RunChecked([] {
        ::close(2); // the selected stream no longer takes bytes
        IoHandle err = OpenStreams(StdStream::STD_ERR);
        std::string big(1 << 16, 'x');
        return err.Write(big.data(), static_cast<unsigned int>(big.size())) ? 1 : 0;
    });
    EXPECT_EQ("", result.err);
}
