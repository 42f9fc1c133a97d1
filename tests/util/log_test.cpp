// The log front end: registration, filtering, the line prefix and the
// statement interface, end to end through files and standard error.
#include <vor/util/log.h>
#include <vor/util/loghandle.h>

#include "util/internal/logline.h"

#include "support/capture.h"
#include "support/child.h"
#include "support/files.h"

#include <vor/core/thread.h>
#include <vor/system/system.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

using namespace Vor;
using namespace Vor::Util;
using VorTest::ReadLines;
using VorTest::StderrCapture;
using VorTest::TempDir;

namespace {

// A clock that hands out the readings of a script, one per call, and then
// repeats the last.
std::vector<unsigned long long> g_Script;
std::atomic<std::size_t> g_uReading{0};

unsigned long long ScriptedClock()
{
    std::size_t at = g_uReading.fetch_add(1);
    return g_Script[at < g_Script.size() ? at : g_Script.size() - 1];
}

class LogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("TZ", "UTC", 1);
        tzset();
    }
    void TearDown() override
    {
        Log::UnInit();
        Internal::g_LogClock.store(nullptr);
    }

    void UseClock(std::vector<unsigned long long> readings)
    {
        g_Script = std::move(readings);
        g_uReading = 0;
        Internal::g_LogClock.store(&ScriptedClock);
    }

    std::string Tid() const { return System::Num2Str<char>(Core::Thread::GetID(), 4); }

    TempDir m_Dir;
};

// 2009-12-08 16:54:12 UTC.
constexpr unsigned long long kStamp = 1260291252ull * 1000;

} // namespace

TEST_F(LogTest, WritesTheExactPrefixUnderUtc)
{
    UseClock({kStamp + 45});
    std::string path = m_Dir.Path("app.log");
    ASSERT_TRUE(Log::AddModule(Log::Param(1, Log::INFO_LEVEL, 0, path)));
    VOR_LOG(1, Log::INFO_LEVEL, "user % logged in") << "ann" << Log::End();
    EXPECT_EQ(std::vector<std::string>{"[2009-12-08 16:54:12,045] [INFO ] [" + Tid() + "] user ann logged in"},
              ReadLines(path));
}

TEST_F(LogTest, PrintsFiveCharacterLevelNamesAndNumbersForOthers)
{
    UseClock({kStamp});
    std::string path = m_Dir.Path("levels.log");
    ASSERT_TRUE(Log::AddModule(Log::Param(2, 255, 0, path)));
    for (unsigned int level : {0u, 8u, 16u, 32u, 64u, 128u, 5u})
        VOR_LOG(2, level) << "m" << Log::End();
    std::vector<std::string> names;
    for (std::string const& line : ReadLines(path))
        names.push_back(line.substr(26, line.find(']', 26) + 1 - 26));
    EXPECT_EQ((std::vector<std::string>{"[FATAL]", "[ERROR]", "[WARN ]", "[INFO ]", "[DEBUG]", "[TRACE]", "[5]"}), names);
}

TEST_F(LogTest, FiltersByTheModuleThreshold)
{
    std::string path = m_Dir.Path("filter.log");
    ASSERT_TRUE(Log::AddModule(Log::Param(3, Log::INFO_LEVEL, 0, path)));
    // A large module number takes the locked lookup instead of the table.
    ASSERT_TRUE(Log::AddModule(Log::Param(100000, Log::WARN_LEVEL, 0, path)));
    EXPECT_FALSE(Log::IsEnabled(3, Log::DEBUG_LEVEL));
    EXPECT_TRUE(Log::IsEnabled(3, Log::INFO_LEVEL));
    EXPECT_FALSE(Log::IsEnabled(100000, Log::INFO_LEVEL));
    EXPECT_TRUE(Log::IsEnabled(100000, Log::ERROR_LEVEL));
    EXPECT_FALSE(Log::IsEnabled(4, Log::FATAL_LEVEL)); // unknown

    int evaluated = 0;
    auto count = [&evaluated] { return ++evaluated; };
    VOR_LOG(3, Log::DEBUG_LEVEL) << "debug " << count() << Log::End();
    VOR_LOG(3, Log::WARN_LEVEL) << "warn " << count() << Log::End();
    VOR_LOG(100000, Log::INFO_LEVEL) << "info " << count() << Log::End();
    VOR_LOG(100000, Log::FATAL_LEVEL) << "fatal " << count() << Log::End();
    VOR_LOG(4, Log::FATAL_LEVEL) << "unknown " << count() << Log::End();
    EXPECT_EQ(2, evaluated); // filtered statements do not evaluate their arguments

    std::vector<std::string> lines = ReadLines(path);
    ASSERT_EQ(2u, lines.size());
    EXPECT_NE(std::string::npos, lines[0].find("] [WARN ] ["));
    EXPECT_EQ("warn 1", lines[0].substr(lines[0].size() - 6));
    EXPECT_EQ("fatal 2", lines[1].substr(lines[1].size() - 7));

    ASSERT_TRUE(Log::DelModule(3));
    EXPECT_FALSE(Log::IsEnabled(3, Log::FATAL_LEVEL));
    VOR_LOG(3, Log::FATAL_LEVEL) << "after removal" << Log::End();
    EXPECT_EQ(2u, ReadLines(path).size());
}

TEST_F(LogTest, ConsoleOnlyModuleWritesBareLinesToStandardError)
{
    ASSERT_TRUE(Log::AddModule(Log::Param(5, Log::TRACE_LEVEL, 2, "")));
    StderrCapture capture;
    VOR_LOG(5, Log::INFO_LEVEL, "% + % = %") << 1 << 2 << 3 << Log::End();
    VOR_LOG(5, Log::INFO_LEVEL, "ends in newlines\n\n") << Log::End();
    EXPECT_TRUE(Log::Backup("skip", false)); // nothing to back up, nothing said
    capture.Stop();
    EXPECT_EQ("1 + 2 = 3\nends in newlines\n", capture.Text());
}

TEST_F(LogTest, FileAndConsoleGetTheSameMessageFromOneArgumentList)
{
    std::string path = m_Dir.Path("both.log");
    LogDevice device;
    ASSERT_TRUE(device.Open(Log::Param(6, Log::INFO_LEVEL, 2, path)));
    LogLevelParam level(Log::ERROR_LEVEL);
    StderrCapture capture;
    // More arguments than registers: a list read twice would print garbage
    // the second time.
    ASSERT_TRUE(device.GetWriteHandle().Printf(level, "%d %d %d %d %d %d %d %s %.1f", 1, 2, 3, 4, 5, 6, 7, "eight", 9.0));
    capture.Stop();
    EXPECT_EQ("1 2 3 4 5 6 7 eight 9.0\n", capture.Text());
    std::vector<std::string> lines = ReadLines(path);
    ASSERT_EQ(1u, lines.size());
    EXPECT_NE(std::string::npos, lines[0].find("] [ERROR] ["));
    EXPECT_EQ("] 1 2 3 4 5 6 7 eight 9.0", lines[0].substr(lines[0].size() - 25));
}

TEST_F(LogTest, ArgumentTextIsNeverReadAsAFormat)
{
    std::string path = m_Dir.Path("percent.log");
    ASSERT_TRUE(Log::AddModule(Log::Param(7, Log::INFO_LEVEL, 0, path)));
    VOR_LOG(7, Log::INFO_LEVEL, "a%b%%c") << "%s%n%d" << Log::End();
    VOR_LOG(7, Log::INFO_LEVEL, "100%% done, % left") << 0 << Log::End();
    std::vector<std::string> lines = ReadLines(path);
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ("] a%s%n%db%c", lines[0].substr(lines[0].find("] a")));
    EXPECT_EQ("] 100% done, 0 left", lines[1].substr(lines[1].find("] 100")));
}

TEST_F(LogTest, StampsTakeSecondsAndMillisecondsFromOneReading)
{
    // Readings that cross a second: each line's stamp must be its reading,
    // never the seconds of one reading with the milliseconds of the next.
    UseClock({kStamp + 998, kStamp + 999, kStamp + 1000, kStamp + 1001});
    std::string path = m_Dir.Path("clock.log");
    ASSERT_TRUE(Log::AddModule(Log::Param(8, Log::INFO_LEVEL, 0, path)));
    for (int i = 0; i < 4; ++i)
        VOR_LOG(8, Log::INFO_LEVEL) << i << Log::End();
    std::vector<std::string> stamps;
    for (std::string const& line : ReadLines(path))
        stamps.push_back(line.substr(0, 25));
    EXPECT_EQ((std::vector<std::string>{"[2009-12-08 16:54:12,998]", "[2009-12-08 16:54:12,999]",
                                        "[2009-12-08 16:54:13,000]", "[2009-12-08 16:54:13,001]"}),
              stamps);
}

TEST_F(LogTest, AddModuleTwiceKeepsTheFirstRegistration)
{
    std::string first = m_Dir.Path("first.log");
    std::string second = m_Dir.Path("second.log");
    ASSERT_TRUE(Log::AddModule(Log::Param(9, Log::INFO_LEVEL, 0, first)));
    EXPECT_TRUE(Log::AddModule(Log::Param(9, Log::TRACE_LEVEL, 0, second)));
    VOR_LOG(9, Log::DEBUG_LEVEL) << "dropped" << Log::End();
    VOR_LOG(9, Log::INFO_LEVEL) << "kept" << Log::End();
    EXPECT_EQ(1u, ReadLines(first).size());
    EXPECT_TRUE(ReadLines(second).empty());
    // The second registration's file was released: a backup moves only the first.
    EXPECT_TRUE(Log::Backup("b", false));
    EXPECT_EQ(1u, ReadLines(m_Dir.Path("first_b.log")).size());
    EXPECT_FALSE(VorTest::ReadFile(m_Dir.Path("second_b.log")) != "<missing>");
}

TEST_F(LogTest, UnopenableOutputsRegisterNothing)
{
    std::string missing = m_Dir.Path("no/such/folder/app.log");
    EXPECT_FALSE(Log::AddModule(Log::Param(10, Log::TRACE_LEVEL, 2, missing)));
    EXPECT_FALSE(Log::IsEnabled(10, Log::FATAL_LEVEL));
    EXPECT_TRUE(Log::Init({}));
    std::string good = m_Dir.Path("good.log");
    EXPECT_FALSE(Log::Init({Log::Param(11, Log::INFO_LEVEL, 0, good), Log::Param(12, Log::INFO_LEVEL, 0, missing),
                            Log::Param(13, Log::INFO_LEVEL, 0, good)}));
    EXPECT_TRUE(Log::IsEnabled(11, Log::INFO_LEVEL)); // added before the failure
    EXPECT_FALSE(Log::IsEnabled(12, Log::INFO_LEVEL));
    EXPECT_FALSE(Log::IsEnabled(13, Log::INFO_LEVEL)); // after it: never tried
    EXPECT_FALSE(Log::Backup("", true));
    EXPECT_EQ("<missing>", VorTest::ReadFile(m_Dir.Path("good_.log")));
}

TEST_F(LogTest, NullWriterIsSharedByFilteredStatementsOfAllThreads)
{
    // Statements that are filtered out (or whose module is unknown) all get
    // the one null writer: it must take every insertion from every thread
    // without changing, and no release may ever destroy it.
    Core::Guard<LogWriter<char>> null = LogWriter<char>::GetNull();
    ASSERT_TRUE(null->IsNull());
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 2000; ++i) {
                Log::Write(200, Log::FATAL_LEVEL, "% %") << t << i << Log::End();
                LogWriter<char>::Write(Io::WriteHandle(), nullptr, 0, '%') << "x" << Log::End();
                LogWriter<char>::GetNull() << "y" << std::hex << i;
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_TRUE(null->IsNull());
    EXPECT_EQ("", null->GetText());
    EXPECT_FALSE(null->Finish());
}

TEST_F(LogTest, WideStatementsAreWrittenAsUtf8)
{
    std::string path = m_Dir.Path("wide.log");
    ASSERT_TRUE(Log::AddModule(Log::Param(14, Log::INFO_LEVEL, 0, path)));
    VOR_LOG(14, Log::INFO_LEVEL, L"gr\u00fc\u00dfe % %%") << L"\u20ac" << Log::End();
    std::vector<std::string> lines = ReadLines(path);
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ("] gr\xc3\xbc\xc3\x9f" "e \xe2\x82\xac %", lines[0].substr(lines[0].find("] gr")));
}

TEST_F(LogTest, ConsoleSelectorOneWritesToStandardOutput)
{
    VorTest::ChildResult result = VorTest::RunInChild([] {
        if (!Log::AddModule(Log::Param(15, Log::INFO_LEVEL, 1, "")))
            return 1;
        VOR_LOG(15, Log::INFO_LEVEL, "to % output") << "standard" << Log::End();
        return 0;
    });
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(0, result.exitCode);
    EXPECT_EQ("to standard output\n", result.out);
    EXPECT_EQ("", result.err);
}

TEST_F(LogTest, StatementHoldingTheHandleFinishesAfterRemoval)
{
    std::string path = m_Dir.Path("late.log");
    ASSERT_TRUE(Log::AddModule(Log::Param(16, Log::INFO_LEVEL, 0, path)));
    Core::Guard<LogWriter<char>> statement = Log::Write(16, Log::INFO_LEVEL, "started before %");
    ASSERT_FALSE(statement->IsNull());
    ASSERT_TRUE(Log::UnInit());
    statement << "UnInit" << Log::End();
    EXPECT_TRUE(Log::Write(16, Log::FATAL_LEVEL)->IsNull());
    std::vector<std::string> lines = ReadLines(path);
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ("] started before UnInit", lines[0].substr(lines[0].find("] started")));
}
