// Logging end to end through files and standard error: the line prefix,
// statements, backing up (plain and compressed), and many threads writing
// one module while its file is swapped.
#include <vor/util/log.h>
#include <vor/util/loghandle.h>

#include "util/internal/compress.h"
#include "util/internal/logline.h"

#include "support/capture.h"
#include "support/child.h"
#include "support/files.h"
#include "support/wait.h"

#include <vor/core/atomic.h>
#include <vor/core/callback.h>
#include <vor/core/thread.h>
#include <vor/io/file.h>
#include <vor/system/system.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#ifdef VOR_HAVE_ZLIB
#include <zlib.h>
#endif

using namespace Vor;
using namespace Vor::Util;
using VorTest::ReadFile, VorTest::StderrCapture;
using Lines = std::vector<std::string>;

namespace {

// 2009-12-08 16:54:12 UTC, and a clock that hands out the readings of a
// script, one per call, then repeats the last.
constexpr unsigned long long kStamp = 1260291252ull * 1000;
std::vector<unsigned long long> g_Script;
std::atomic<std::size_t> g_uReading{0};
unsigned long long ScriptedClock()
{
    std::size_t at = g_uReading.fetch_add(1);
    return g_Script[at < g_Script.size() ? at : g_Script.size() - 1];
}

// The message of each line of a file (after stamp, level and thread).
Lines Messages(std::string const& path)
{
    Lines out;
    for (std::string const& line : VorTest::ReadLines(path)) {
        std::size_t at = line.find("] ", line.find("] ", line.find("] ") + 2) + 2);
        out.push_back(at == std::string::npos ? line : line.substr(at + 2));
    }
    return out;
}

// The uncompressed content of a gzip file ("<unreadable>" on any failure).
std::string Gunzip(std::string const& path)
{
    std::string out;
#ifdef VOR_HAVE_ZLIB
    gzFile in = gzopen(path.c_str(), "rb");
    char buffer[4096];
    int got = -1;
    while (in != nullptr && (got = gzread(in, buffer, sizeof(buffer))) > 0)
        out.append(buffer, static_cast<std::size_t>(got));
    if (in == nullptr || gzclose(in) != Z_OK || got != 0)
#endif
        out = "<unreadable>";
    return out;
}

class LogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
#if defined(_WIN32)
        _putenv_s("TZ", "UTC");
        _tzset();
#else
        setenv("TZ", "UTC", 1);
        tzset();
#endif
    }
    void TearDown() override
    {
        Log::UnInit();
        Internal::g_LogClock.store(nullptr);
    }
    // Registers module 1 with a file of that name and writes `lines` to it.
    std::string Module(std::string const& name, Lines const& lines = {})
    {
        std::string path = m_Dir.Path(name);
        EXPECT_TRUE(Log::AddModule(Log::Param(1, Log::INFO_LEVEL, 0, path)));
        Write(lines);
        return path;
    }
    static void Write(Lines const& lines)
    {
        for (std::string const& line : lines)
            VOR_LOG(1, Log::INFO_LEVEL) << line << Log::End();
    }

    VorTest::TempDir m_Dir;
};

} // namespace

// Each stamp is one clock reading, never the seconds of one reading with
// the milliseconds of the next; levels print as five characters, unknown
// ones as their number.
TEST_F(LogTest, LinesCarryTheExactPrefix)
{
    Internal::g_LogClock.store(&ScriptedClock);
    g_Script = {kStamp + 45, kStamp + 998, kStamp + 999, kStamp + 1000, kStamp + 1001};
    g_uReading = 0;
    std::string path = m_Dir.Path("app.log");
    ASSERT_TRUE(Log::AddModule(Log::Param(1, 255, 0, path)));
    VOR_LOG(1, Log::INFO_LEVEL, "user % logged in") << "ann" << Log::End();
    for (unsigned int level : {0u, 8u, 16u, 64u, 128u, 5u})
        VOR_LOG(1, level) << "m" << Log::End();
    std::string tid = "] [" + System::Num2Str<char>(Core::Thread::GetID(), 4) + "] ";
    EXPECT_EQ(VorTest::ReadLines(path), (Lines{
                                            "[2009-12-08 16:54:12,045] [INFO " + tid + "user ann logged in",
                                            "[2009-12-08 16:54:12,998] [FATAL" + tid + "m",
                                            "[2009-12-08 16:54:12,999] [ERROR" + tid + "m",
                                            "[2009-12-08 16:54:13,000] [WARN " + tid + "m",
                                            "[2009-12-08 16:54:13,001] [DEBUG" + tid + "m",
                                            "[2009-12-08 16:54:13,001] [TRACE" + tid + "m",
                                            "[2009-12-08 16:54:13,001] [5" + tid + "m",
                                        }));
}

// Argument places fill in order, extras are appended, missing ones stay
// empty; text from arguments is never read as a format; wide text becomes
// UTF-8; one argument list serves the file and the console alike.
TEST_F(LogTest, StatementsReachEveryOutputIntact)
{
    std::string path = Module("text.log");
    VOR_LOG(1, Log::INFO_LEVEL, "a%b%c") << "%s%n%d" << Log::End();
    VOR_LOG(1, Log::INFO_LEVEL, "<%|%>%%") << 1 << 2 << 3 << std::hex << 255 << Log::End();
    VOR_LOG(1, Log::INFO_LEVEL, L"gr\u00fc\u00dfe % %%") << L"\u20ac" << Log::End();
    EXPECT_EQ(Messages(path), (Lines{"a%s%n%dbc", "<1|2>%3ff", "gr\xc3\xbc\xc3\x9f" "e \xe2\x82\xac %"}));

    LogDevice device;
    ASSERT_TRUE(device.Open(Log::Param(6, Log::INFO_LEVEL, 2, m_Dir.Path("both.log"))));
    LogLevelParam level(Log::ERROR_LEVEL);
    StderrCapture capture;
    // More arguments than registers: a list read twice would print garbage
    // the second time.
    ASSERT_TRUE(device.GetWriteHandle().Printf(level, "%d %d %d %d %d %d %d %s %.1f", 1, 2, 3, 4, 5, 6, 7, "eight", 9.0));
    // A console-only module writes bare lines, each ended once.
    ASSERT_TRUE(Log::AddModule(Log::Param(5, Log::TRACE_LEVEL, 2, "")));
    VOR_LOG(5, Log::INFO_LEVEL, "ends in newlines\n\n") << Log::End();
    capture.Stop();
    EXPECT_EQ("1 2 3 4 5 6 7 eight 9.0\nends in newlines\n", capture.Text());
    EXPECT_EQ(Messages(m_Dir.Path("both.log")), Lines{"1 2 3 4 5 6 7 eight 9.0"});
}

// A statement that holds its handle finishes after its module is gone.
// Filtered statements share the one null writer: it takes insertions from
// every thread without changing, and no release destroys it.
TEST_F(LogTest, StatementsOutliveTheirModuleAndFilteredOnesShareNothing)
{
    std::string path = Module("late.log");
    Core::Guard<LogWriter<char>> statement = Log::Write(1, Log::INFO_LEVEL, "started before %");
    ASSERT_TRUE(Log::UnInit());
    statement << "UnInit" << Log::End();
    EXPECT_TRUE(Log::Write(1, Log::FATAL_LEVEL)->IsNull());
    EXPECT_EQ(Messages(path), Lines{"started before UnInit"});
    auto filtered = [] {
        for (int i = 0; i < 2000; ++i)
            Log::Write(200, Log::FATAL_LEVEL, "% %") << i << std::hex << i << Log::End();
    };
    std::thread a(filtered), b(filtered), c(filtered);
    a.join(), b.join(), c.join();
    EXPECT_EQ("", LogWriter<char>::GetNull()->GetText());
}

TEST(LogDevice, NamesBackupsAtTheFileNamesLastDot)
{
    EXPECT_EQ("a/b.c_s.d", LogDevice::BackupName("a/b.c.d", "s"));
    // Dots in folder names, and the dot that starts a hidden file's name,
    // are not extensions.
    EXPECT_EQ("/var/log.d/app_1", LogDevice::BackupName("/var/log.d/app", "1"));
    EXPECT_EQ("dir/.hidden_x", LogDevice::BackupName("dir/.hidden", "x"));
}

// A file that another part of the program holds open is still backed up
// (Windows refuses to rename a file whose handles do not share deletion):
// the holder goes on writing into the moved file, the module into a fresh
// one. A second backup under the same name must not replace the first.
TEST_F(LogTest, SecondBackupWithTheSameSuffixKeepsTheFirstAndReportsInOrder)
{
    std::string path = Module("app.log", {"first"}), backup = m_Dir.Path("app_s.log");
    Io::File device;
    ASSERT_TRUE(device.Open(path, "a+"));
    Io::WriteHandle holder = device.GetWriteHandle();
    ASSERT_TRUE(Log::Backup("s", false)) << "the file is held open";
    Write({"second"});
    EXPECT_TRUE(holder.Write("held\n", 5) && holder.Close());
    EXPECT_EQ(Lines{"second"}, Messages(path));
    StderrCapture capture;
    EXPECT_TRUE(Log::Backup("s", false));
    capture.Stop();
    EXPECT_EQ((Lines{"Can not rename log file " + path + " to " + backup, "Can not get new log file handle",
                     "Can not backup log file " + path + " to " + backup}),
              capture.Lines());
    // The earlier backup is intact, and the module still has its file.
    EXPECT_EQ((Lines{"first", "held"}), Messages(backup));
    Write({"third"});
    EXPECT_TRUE(Log::Backup("t", false));
    EXPECT_EQ((Lines{"second", "third"}), Messages(m_Dir.Path("app_t.log")));
}

// What comes back out of the .gz is what was logged; an empty backup stays
// as it is; an earlier .gz is never overwritten, and the backup it would
// have replaced is kept, with a line saying so.
TEST_F(LogTest, CompressedBackupReadsBackAndNeverOverwritesAnEarlierOne)
{
    if (!Internal::CanCompress())
        GTEST_SKIP() << "built without zlib: backups stay uncompressed";
    std::string path = Module("full.log");
    ASSERT_TRUE(Log::AddModule(Log::Param(2, Log::INFO_LEVEL, 0, m_Dir.Path("empty.log"))));
    for (int i = 0; i < 3000; ++i) // more than one 64 KiB slice of the compressor
        VOR_LOG(1, Log::INFO_LEVEL) << "line " << i << " of the compressed backup" << Log::End();
    std::string logged = ReadFile(path), moved = m_Dir.Path("full_z.log");
    StderrCapture capture;
    EXPECT_TRUE(Log::Backup("z", true));
    EXPECT_EQ("<missing>", ReadFile(moved));
    EXPECT_EQ(logged, Gunzip(moved + ".gz"));
    EXPECT_EQ("", ReadFile(m_Dir.Path("empty_z.log")));
    EXPECT_EQ("<missing>", ReadFile(m_Dir.Path("empty_z.log.gz")));
    ASSERT_TRUE(Log::DelModule(2));
    Write({"second"});
    EXPECT_TRUE(Log::Backup("z", true));
    capture.Stop();
    EXPECT_EQ(Lines{"Compress backup log file " + moved + " error"}, capture.Lines());
    EXPECT_EQ(Lines{"second"}, Messages(moved));
    EXPECT_EQ(logged, Gunzip(moved + ".gz"));
}

namespace {

// A log device on one file that has had the line "before" written.
struct WrittenDevice {
    explicit WrittenDevice(std::string file) : path(std::move(file))
    {
        opened = device.Open(Log::Param(1, 0, 0, path));
        object = device.GetHandle().GetObject();
        output = device.GetWriteHandle();
        opened = opened && Write("before");
    }
    bool Write(char const* text) { return output.Printf(level, text); }
    bool Swap(Core::CallBack const& opener) { return dynamic_cast<LogHandle&>(*object).Swap(opener); }

    std::string path;
    LogDevice device;
    bool opened = false;
    Core::Guard<Io::IoObject> object;
    Io::WriteHandle output;
    LogLevelParam level{0};
};

} // namespace

// A swap whose opener brings no file reports it and keeps the module
// writing to the file it had, instead of leaving it without one. A closed
// handle stays closed through a swap, silently: its opener is not called.
TEST_F(LogTest, FailedSwapKeepsWritingToTheCurrentFile)
{
    WrittenDevice log(m_Dir.Path("keep.log"));
    ASSERT_TRUE(log.opened);
    Core::CallBack noFile; // a callback without a result opens nothing
    noFile.Bind(+[] {});
    // The report goes through std::cerr: it reaches a buffer the
    // application gave std::cerr as well as descriptor 2.
    std::ostringstream redirected;
    std::streambuf* standard = std::cerr.rdbuf(redirected.rdbuf());
    EXPECT_FALSE(log.Swap(noFile));
    std::cerr.rdbuf(standard);
    EXPECT_EQ("Can not get new log file handle\n", redirected.str());
    LogDevice::SwapParam names; // would report that it has no names
    Core::CallBack opener;
    opener.Bind(&LogDevice::SwapFile, &names);
    StderrCapture capture;
    EXPECT_FALSE(log.Swap(Core::CallBack()));
    ASSERT_TRUE(log.Write("after"));
    EXPECT_TRUE(log.object->Close());
    EXPECT_TRUE(log.Swap(opener));
    EXPECT_TRUE(log.Write("closed"));
    capture.Stop();
    EXPECT_EQ(Lines{"Can not get new log file handle"}, capture.Lines());
    EXPECT_EQ((Lines{"before", "after"}), Messages(log.path));
}

// An opener may log to the module it is swapping: its line finds no file,
// and the swap goes on. In a child process, which a handle that locked
// itself out would hold for ever.
TEST_F(LogTest, SwapOpenerMayLogToItsOwnModule)
{
    VorTest::ChildResult child = VorTest::RunInChild(
        [&] {
            WrittenDevice log(m_Dir.Path("old.log"));
            Core::CallBack opener;
            opener.Bind(+[](WrittenDevice* self) {
                self->Write("inside the swap");
                Io::File file;
                return file.Open(self->path + ".new", "a+") ? file.GetWriteHandle() : Io::WriteHandle();
            }, &log);
            return log.opened && log.Swap(opener) && log.Write("after") ? 0 : 1;
        },
        "", std::chrono::seconds(5));
    EXPECT_TRUE(child.finished);
    EXPECT_EQ(0, child.exitCode);
    EXPECT_EQ(Lines{"before"}, Messages(m_Dir.Path("old.log")));
    EXPECT_EQ(Lines{"after"}, Messages(m_Dir.Path("old.log.new")));
}

#if defined(_WIN32)
// The child process of a test writes where its parent looks, even when a
// folder left behind (by a killed run, or an earlier process with the same
// id) sits under the name the parent would have made next.
TEST(LogChildTest, ChildFindsItsParentsFoldersPastALeftOverOne)
{
    VorTest::TempDir first;
    std::string root = first.Path("");
    root.pop_back();
    std::size_t dash = root.rfind('-');
    std::string leftOver = root.substr(0, dash + 1) + std::to_string(std::atoi(root.c_str() + dash + 1) + 1);
    std::error_code ignored;
    std::filesystem::create_directory(leftOver, ignored);
    VorTest::TempDir second;
    VorTest::ChildResult child =
        VorTest::RunInChild([&] { return VorTest::WriteFile(second.Path("mark"), "child") ? 0 : 1; });
    EXPECT_EQ(0, child.exitCode);
    EXPECT_EQ("child", VorTest::ReadFile(second.Path("mark")));
    std::filesystem::remove_all(leftOver, ignored);
}
#endif

namespace {

// A locked value, counted by a thread that logs without end.
Core::Value<unsigned long long, 1, 0, 8, 0> g_uLogged;
void LogWithoutEnd()
{
    for (;;)
        VOR_LOG(1, Log::INFO_LEVEL) << "line " << ++g_uLogged << Log::End();
}

} // namespace

// The process exits normally while a thread of the library goes on logging
// through the static destruction at exit.
TEST_F(LogTest, ProcessExitsNormallyWhileAThreadKeepsLogging)
{
    std::string path = m_Dir.Path("exit.log");
    for (int round = 0; round < 50; ++round) {
        VorTest::ChildResult child = VorTest::RunInChild([&] {
            Log::AddModule(Log::Param(1, Log::INFO_LEVEL, 0, path));
            Core::CallBack task;
            task.Bind(&LogWithoutEnd);
            Core::Thread::Create(task);
            VorTest::WaitUntil([] { return g_uLogged > 100; });
            std::exit(3);
            return 0;
        });
        EXPECT_TRUE(child.finished) << "round " << round;
        EXPECT_EQ(3, child.exitCode) << "round " << round << ": " << child.err;
    }
}

// Every line whole and in exactly one file while eight threads write and
// the file is swapped under them.
TEST_F(LogTest, ManyThreadsWriteWholeLinesWhileTheFileIsSwapped)
{
    // Every line is a system call; sanitizers make each several times dearer.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
    constexpr int kLines = 2500;
#else
    constexpr int kLines = 10000;
#endif
    constexpr int kThreads = 8;
    std::string path = Module("busy.log");
    std::atomic<int> written{0};
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([t, &written] {
            for (int i = 0; i < kLines; ++i, ++written)
                VOR_LOG(1, Log::INFO_LEVEL, "thread % line % end") << t << i << Log::End();
        });
    }
    Lines files, all;
    for (int round = 0; written.load() < kThreads * kLines; ++round) {
        ASSERT_TRUE(Log::Backup("r" + std::to_string(round), false));
        files.push_back(LogDevice::BackupName(path, "r" + std::to_string(round)));
        int mark = written.load();
        VorTest::WaitUntil([&] { return written.load() >= std::min(mark + 2000, kThreads * kLines); });
    }
    for (std::thread& writer : writers)
        writer.join();
    files.push_back(path); // read only now: a statement may finish in a file already moved
    for (std::string const& file : files)
        for (std::string const& message : Messages(file))
            all.push_back(message);
    std::set<std::string> expected;
    for (int t = 0; t < kThreads; ++t)
        for (int i = 0; i < kLines; ++i)
            expected.insert("thread " + std::to_string(t) + " line " + std::to_string(i) + " end");
    EXPECT_EQ(expected.size(), all.size());
    EXPECT_EQ(expected, std::set<std::string>(all.begin(), all.end()));
}
