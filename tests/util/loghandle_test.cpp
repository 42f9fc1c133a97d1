// Log handles, devices and writers: the parsed format, raw operations,
// swapping, backing up with every message it gives, and many threads
// writing one module while its file is swapped.
#include <vor/util/log.h>
#include <vor/util/loghandle.h>

#include "util/internal/compress.h"

#include "support/capture.h"
#include "support/child.h"
#include "support/files.h"
#include "support/wait.h"

#include <vor/core/callback.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <set>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace Vor;
using namespace Vor::Util;
using VorTest::ReadFile;
using VorTest::ReadLines;
using VorTest::StderrCapture;
using VorTest::TempDir;

namespace {

using Pieces = std::vector<std::pair<std::string, unsigned int>>;

// The pieces as (text, length) with "<arg>" for argument places.
Pieces Describe(Core::Guard<LogWriter<char>> const& writer)
{
    Pieces out;
    for (auto const& piece : writer->GetPieces()) {
        if (piece.first == nullptr)
            out.emplace_back("<arg>", piece.second);
        else if (piece.second == LogWriter<char>::TO_END)
            out.emplace_back(piece.first, piece.second);
        else
            out.emplace_back(std::string(piece.first, piece.second), piece.second);
    }
    return out;
}

// The message part of a log line (after the third "] ").
std::string Message(std::string const& line)
{
    std::size_t at = 0;
    for (int i = 0; i < 3 && at != std::string::npos; ++i)
        at = line.find("] ", at == 0 ? 0 : at + 2);
    return at == std::string::npos ? std::string() : line.substr(at + 2);
}

std::vector<std::string> Messages(std::string const& path)
{
    std::vector<std::string> out;
    for (std::string const& line : ReadLines(path))
        out.push_back(Message(line));
    return out;
}

class LogHandleTest : public ::testing::Test {
protected:
    void TearDown() override { Log::UnInit(); }

    TempDir m_Dir;
};

constexpr unsigned int kNone = LogWriter<char>::TO_END;

} // namespace

TEST(LogWriter, ParsesLiteralsArgumentPlacesAndDoubledMarkers)
{
    EXPECT_EQ((Pieces{{"a", 1}, {"<arg>", kNone}, {"b%", 2}, {"c", kNone}}),
              Describe(LogWriter<char>::Write(Io::WriteHandle(), "a%b%%c", 0, '%')));
    EXPECT_EQ((Pieces{{"", 0}, {"<arg>", kNone}, {"", kNone}}),
              Describe(LogWriter<char>::Write(Io::WriteHandle(), "#", 0, '#')));
    EXPECT_EQ((Pieces{{"plain", kNone}}), Describe(LogWriter<char>::Write(Io::WriteHandle(), "plain", 0, '%')));
    EXPECT_EQ((Pieces{{"%", 1}, {"", kNone}}), Describe(LogWriter<char>::Write(Io::WriteHandle(), "%%", 0, '%')));
    EXPECT_TRUE(LogWriter<char>::Write(Io::WriteHandle(), nullptr, 0, '%')->IsNull());
}

TEST(LogWriter, FillsPlacesInOrderAppendsExtrasAndLeavesMissingOnesEmpty)
{
    Core::Guard<LogWriter<char>> extra = LogWriter<char>::Write(Io::WriteHandle(), "<%|%>", 16, '%');
    extra << 1 << 2 << 3 << std::hex << 255;
    EXPECT_EQ("<1|2>3ff", extra->GetText());
    EXPECT_EQ(16u, extra->GetParam().m_uLevel);

    Core::Guard<LogWriter<char>> missing = LogWriter<char>::Write(Io::WriteHandle(), "a%b%c", 0, '%');
    missing << "X";
    EXPECT_FALSE(missing->Finish()); // the empty handle refuses the line
    EXPECT_EQ("aXbc", missing->GetText());
    missing << "ignored after the end";
    EXPECT_EQ("aXbc", missing->GetText());
}

TEST_F(LogHandleTest, RawTransfersWriteNothingAndReadsFail)
{
    std::string path = m_Dir.Path("raw.log");
    LogDevice device;
    ASSERT_TRUE(device.Open(Log::Param(1, 0, 0, path)));
    Io::IoHandle handle = device.GetHandle();
    Io::RandomParam param;
    EXPECT_TRUE(handle.Write("bytes", 5));
    EXPECT_TRUE(handle.Write("bytes", 5, param));
    char buffer[4];
    EXPECT_EQ(Io::IoObject::FAILED, handle.Read(buffer, 4));
    EXPECT_EQ(Io::IoObject::FAILED, handle.Read(buffer, 4, param));
    EXPECT_EQ("", ReadFile(path));

    Core::Guard<Io::IoParam> status = handle.GetParam();
    auto const* described = dynamic_cast<LogHandle::Status const*>(status.Address());
    ASSERT_NE(nullptr, described);
    EXPECT_EQ(path, described->m_FileName);
    EXPECT_EQ(0u, described->m_uConsole);

    EXPECT_FALSE(device.Open()); // another parameter
    EXPECT_FALSE(device.GetHandle().IsValid());
}

TEST_F(LogHandleTest, CloseEndsTheOutputs)
{
    std::string path = m_Dir.Path("closed.log");
    LogDevice device;
    ASSERT_TRUE(device.Open(Log::Param(1, 0, 0, path)));
    Io::WriteHandle handle = device.GetWriteHandle();
    LogLevelParam level(Log::INFO_LEVEL);
    ASSERT_TRUE(handle.Printf(level, "before"));
    Core::Guard<Io::IoObject> object = handle.GetObject();
    EXPECT_TRUE(object->Close());
    EXPECT_TRUE(handle.Printf(level, "after"));
    EXPECT_EQ(std::vector<std::string>{"before"}, Messages(path));

    // A closed handle stays closed through a backup: there is nothing to
    // swap, and nothing is reopened.
    LogDevice::SwapParam names;
    Core::CallBack opener;
    opener.Bind(&LogDevice::SwapFile, &names);
    StderrCapture capture;
    EXPECT_TRUE(dynamic_cast<LogHandle*>(object.Raw())->Swap(opener));
    capture.Stop();
    EXPECT_EQ("", capture.Text());
    EXPECT_TRUE(handle.Printf(level, "still closed"));
    EXPECT_EQ(std::vector<std::string>{"before"}, Messages(path));
}

TEST(LogDevice, NamesBackupsAtTheFileNamesLastDot)
{
    EXPECT_EQ("app_20091208.log", LogDevice::BackupName("app.log", "20091208"));
    EXPECT_EQ("log_old", LogDevice::BackupName("log", "old"));
    EXPECT_EQ("a/b.c_s.d", LogDevice::BackupName("a/b.c.d", "s"));
    // Dots in folder names, and the dot that starts a hidden file's name,
    // are not extensions.
    EXPECT_EQ("./logs/app_sfx", LogDevice::BackupName("./logs/app", "sfx"));
    EXPECT_EQ("/var/log.d/app_1", LogDevice::BackupName("/var/log.d/app", "1"));
    EXPECT_EQ("dir/.hidden_x", LogDevice::BackupName("dir/.hidden", "x"));
}

TEST_F(LogHandleTest, BackupMovesTheFileAndLoggingGoesOnInAFreshOne)
{
    std::string path = m_Dir.Path("app.log");
    ASSERT_TRUE(Log::AddModule(Log::Param(1, Log::INFO_LEVEL, 0, path)));
    VOR_LOG(1, Log::INFO_LEVEL) << "one" << Log::End();
    StderrCapture capture;
    EXPECT_TRUE(Log::Backup("20091208", false));
    VOR_LOG(1, Log::INFO_LEVEL) << "two" << Log::End();
    capture.Stop();
    EXPECT_EQ("", capture.Text());
    EXPECT_EQ(std::vector<std::string>{"one"}, Messages(m_Dir.Path("app_20091208.log")));
    EXPECT_EQ(std::vector<std::string>{"two"}, Messages(path));
}

TEST_F(LogHandleTest, SecondBackupWithTheSameSuffixKeepsTheFirstAndReportsInOrder)
{
    std::string path = m_Dir.Path("app.log");
    std::string backup = m_Dir.Path("app_s.log");
    ASSERT_TRUE(Log::AddModule(Log::Param(1, Log::INFO_LEVEL, 0, path)));
    VOR_LOG(1, Log::INFO_LEVEL) << "first" << Log::End();
    ASSERT_TRUE(Log::Backup("s", false));
    VOR_LOG(1, Log::INFO_LEVEL) << "second" << Log::End();

    StderrCapture capture;
    EXPECT_TRUE(Log::Backup("s", false));
    capture.Stop();
    EXPECT_EQ((std::vector<std::string>{"Can not rename log file " + path + " to " + backup,
                                        "Can not get new log file handle",
                                        "Can not backup log file " + path + " to " + backup}),
              capture.Lines());
    // The earlier backup is intact, and the module still has its file.
    EXPECT_EQ(std::vector<std::string>{"first"}, Messages(backup));
    VOR_LOG(1, Log::INFO_LEVEL) << "third" << Log::End();
    EXPECT_EQ((std::vector<std::string>{"second", "third"}), Messages(path));
    // A later backup under a new suffix works as usual.
    EXPECT_TRUE(Log::Backup("t", false));
    EXPECT_EQ((std::vector<std::string>{"second", "third"}), Messages(m_Dir.Path("app_t.log")));
}

TEST_F(LogHandleTest, BackupWithCompressionReportsEachNonEmptyBackupAndKeepsIt)
{
    if (Internal::CanCompress())
        GTEST_SKIP() << "built with zlib: backups are compressed (see compress_test.cpp)";
    std::string full = m_Dir.Path("full.log");
    std::string empty = m_Dir.Path("empty");
    ASSERT_TRUE(Log::AddModule(Log::Param(1, Log::INFO_LEVEL, 0, full)));
    ASSERT_TRUE(Log::AddModule(Log::Param(2, Log::INFO_LEVEL, 0, empty)));
    ASSERT_TRUE(Log::AddModule(Log::Param(3, Log::INFO_LEVEL, 2, ""))); // console only: skipped
    VOR_LOG(1, Log::INFO_LEVEL) << "data" << Log::End();
    StderrCapture capture;
    EXPECT_TRUE(Log::Backup("z", true));
    capture.Stop();
    std::string moved = m_Dir.Path("full_z.log");
    EXPECT_EQ(std::vector<std::string>{"Compress backup log file " + moved + " error"}, capture.Lines());
    EXPECT_EQ(std::vector<std::string>{"data"}, Messages(moved));
    EXPECT_EQ("", ReadFile(m_Dir.Path("empty_z")));
    EXPECT_EQ("<missing>", ReadFile(moved + ".gz"));
}

namespace {

// Stand-ins for a compressor: one that writes the .gz file, and one that
// also takes the original away so that deleting it fails.
bool FakeCompress(std::string const& name) { return VorTest::WriteFile(name + ".gz", "packed"); }
bool CompressAndSteal(std::string const& name) { return FakeCompress(name) && std::remove(name.c_str()) == 0; }

} // namespace

TEST_F(LogHandleTest, CompressedBackupsReplaceTheirFilesOrReportTheRemoval)
{
    std::string path = m_Dir.Path("c.log");
    ASSERT_TRUE(Log::AddModule(Log::Param(1, Log::INFO_LEVEL, 0, path)));
    VOR_LOG(1, Log::INFO_LEVEL) << "x" << Log::End();
    Internal::g_Compressor.store(&FakeCompress);
    StderrCapture capture;
    EXPECT_TRUE(Log::Backup("1", true));
    VOR_LOG(1, Log::INFO_LEVEL) << "y" << Log::End();
    Internal::g_Compressor.store(&CompressAndSteal);
    EXPECT_TRUE(Log::Backup("2", true));
    Internal::g_Compressor.store(nullptr);
    capture.Stop();
    EXPECT_EQ(std::vector<std::string>{"Remove temp backup log file " + m_Dir.Path("c_2.log") + " error"},
              capture.Lines());
    EXPECT_EQ("<missing>", ReadFile(m_Dir.Path("c_1.log")));
    EXPECT_EQ("packed", ReadFile(m_Dir.Path("c_1.log.gz")));
    EXPECT_EQ("packed", ReadFile(m_Dir.Path("c_2.log.gz")));
}

TEST_F(LogHandleTest, SwapFunctionRefusesMissingNames)
{
    StderrCapture capture;
    EXPECT_FALSE(LogDevice::SwapFile(nullptr).IsValid());
    LogDevice::SwapParam half;
    half.m_Current = m_Dir.Path("a.log");
    EXPECT_FALSE(LogDevice::SwapFile(&half).IsValid());
    LogDevice::SwapParam missing;
    missing.m_Current = m_Dir.Path("absent.log");
    missing.m_NewName = m_Dir.Path("absent_x.log");
    EXPECT_FALSE(LogDevice::SwapFile(&missing).IsValid());
    capture.Stop();
    EXPECT_EQ((std::vector<std::string>{"There are no enough params to swap log file",
                                        "There are no enough params to swap log file",
                                        "Can not rename log file " + missing.m_Current + " to " + missing.m_NewName}),
              capture.Lines());
}

TEST_F(LogHandleTest, FailedSwapKeepsWritingToTheCurrentFile)
{
    std::string path = m_Dir.Path("keep.log");
    LogDevice device;
    ASSERT_TRUE(device.Open(Log::Param(1, 0, 0, path)));
    Core::Guard<Io::IoObject> object = device.GetHandle().GetObject();
    LogHandle* handle = dynamic_cast<LogHandle*>(object.Raw());
    ASSERT_NE(nullptr, handle);
    Io::WriteHandle output = device.GetWriteHandle();
    LogLevelParam level(0);
    ASSERT_TRUE(output.Printf(level, "before"));

    Core::CallBack wrongKind; // a callback without a result cannot open anything
    wrongKind.Bind(+[] {});
    StderrCapture capture;
    EXPECT_FALSE(handle->Swap(wrongKind));
    EXPECT_FALSE(handle->Swap(Core::CallBack()));
    capture.Stop();
    EXPECT_EQ((std::vector<std::string>{"Can not get new log file handle", "Can not get new log file handle"}),
              capture.Lines());
    ASSERT_TRUE(output.Printf(level, "after"));
    EXPECT_EQ((std::vector<std::string>{"before", "after"}), Messages(path));
}

TEST_F(LogHandleTest, FreshFileFailureIsReportedAndALaterBackupRecovers)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // The child takes every descriptor it may open; the sanitizer runtimes
    // need descriptors of their own to check memory and report, and fail.
    GTEST_SKIP() << "runs in the plain build only";
#endif
    std::string path = m_Dir.Path("limit.log");
    std::string first = m_Dir.Path("limit_a.log");
    std::string second = m_Dir.Path("limit_b.log");
    VorTest::ChildResult result = VorTest::RunInChild([&] {
        if (!Log::AddModule(Log::Param(1, Log::INFO_LEVEL, 0, path)))
            return 1;
        VOR_LOG(1, Log::INFO_LEVEL) << "one" << Log::End();
        // Take every descriptor below the log file's and forbid any higher
        // one: after the swap closes the file, no file can be opened.
        int logFd = VorTest::FindDescriptor(path);
        if (logFd < 0)
            return 2;
        std::vector<int> fillers;
        for (int fd = dup(0); fd >= 0 && fd < logFd; fd = dup(0))
            fillers.push_back(fd);
        struct rlimit saved;
        getrlimit(RLIMIT_NOFILE, &saved);
        struct rlimit tight = saved;
        tight.rlim_cur = static_cast<rlim_t>(logFd);
        if (setrlimit(RLIMIT_NOFILE, &tight) != 0)
            return 3;
        Log::Backup("a", false);
        VOR_LOG(1, Log::INFO_LEVEL) << "lost" << Log::End();
        setrlimit(RLIMIT_NOFILE, &saved);
        Log::Backup("b", false); // takes the file up again, then swaps it
        VOR_LOG(1, Log::INFO_LEVEL) << "two" << Log::End();
        return 0;
    });
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(0, result.exitCode);
    EXPECT_EQ("Open new log file " + path + " error\n"
              "Can not get new log file handle\n"
              "Can not backup log file " + path + " to " + first + "\n",
              result.err);
    EXPECT_EQ(std::vector<std::string>{"one"}, Messages(first));
    EXPECT_EQ(std::vector<std::string>{}, Messages(second));
    EXPECT_EQ(std::vector<std::string>{"two"}, Messages(path));
}

namespace {

// Every line is a write system call; sanitizers make each several times
// dearer, so they get a quarter of the lines.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr int kLinesPerThread = 2500;
#else
constexpr int kLinesPerThread = 10000;
#endif

} // namespace

TEST_F(LogHandleTest, ManyThreadsWriteWholeLinesWhileTheFileIsSwapped)
{
    std::string path = m_Dir.Path("busy.log");
    ASSERT_TRUE(Log::AddModule(Log::Param(1, Log::INFO_LEVEL, 0, path)));
    constexpr int kThreads = 8;
    std::atomic<int> running{kThreads};
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([t, &running] {
            for (int i = 0; i < kLinesPerThread; ++i)
                VOR_LOG(1, Log::INFO_LEVEL, "thread % line % end") << t << i << Log::End();
            --running;
        });
    }
    std::vector<std::string> files;
    for (int round = 0; running.load() > 0; ++round) {
        std::string suffix = "r" + std::to_string(round);
        ASSERT_TRUE(Log::Backup(suffix, false));
        files.push_back(LogDevice::BackupName(path, suffix));
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    for (std::thread& writer : writers)
        writer.join();
    files.push_back(path);

    std::set<std::pair<int, int>> seen;
    std::size_t total = 0;
    for (std::string const& file : files) {
        for (std::string const& message : Messages(file)) {
            int t = -1, i = -1;
            char tail[8] = {};
            ASSERT_EQ(3, std::sscanf(message.c_str(), "thread %d line %d %3s", &t, &i, tail)) << message;
            ASSERT_STREQ("end", tail) << message;
            ASSERT_EQ("thread " + std::to_string(t) + " line " + std::to_string(i) + " end", message);
            seen.emplace(t, i);
            ++total;
        }
    }
    EXPECT_GT(files.size(), 1u);
    EXPECT_EQ(static_cast<std::size_t>(kThreads) * kLinesPerThread, total);
    EXPECT_EQ(total, seen.size());
}
