// The log front end: registration, filtering, the line prefix and the
// statement interface, end to end through files and standard error.
#include <vor/util/log.h>
#include <vor/util/loghandle.h>

#include "util/internal/logline.h"

#include "support/capture.h"
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
    // Each line's message: what follows the stamp, level and thread.
    static std::vector<std::string> Messages(std::string const& path)
    {
        std::vector<std::string> out;
        for (std::string const& line : ReadLines(path)) {
            std::size_t at = line.find("] ", line.find("] ", line.find("] ") + 2) + 2);
            out.push_back(at == std::string::npos ? line : line.substr(at + 2));
        }
        return out;
    }

    VorTest::TempDir m_Dir;
};

// 2009-12-08 16:54:12 UTC.
constexpr unsigned long long kStamp = 1260291252ull * 1000;

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
    EXPECT_EQ(ReadLines(path), (std::vector<std::string>{
                                   "[2009-12-08 16:54:12,045] [INFO " + tid + "user ann logged in",
                                   "[2009-12-08 16:54:12,998] [FATAL" + tid + "m",
                                   "[2009-12-08 16:54:12,999] [ERROR" + tid + "m",
                                   "[2009-12-08 16:54:13,000] [WARN " + tid + "m",
                                   "[2009-12-08 16:54:13,001] [DEBUG" + tid + "m",
                                   "[2009-12-08 16:54:13,001] [TRACE" + tid + "m",
                                   "[2009-12-08 16:54:13,001] [5" + tid + "m",
                               }));
}

TEST_F(LogTest, FiltersByTheModuleThreshold)
{
    std::string path = m_Dir.Path("filter.log");
    ASSERT_TRUE(Log::AddModule(Log::Param(3, Log::INFO_LEVEL, 0, path)));
    // A large module number takes the locked lookup instead of the table.
    ASSERT_TRUE(Log::AddModule(Log::Param(100000, Log::WARN_LEVEL, 0, path)));
    int evaluated = 0;
    auto count = [&evaluated] { return ++evaluated; };
    VOR_LOG(3, Log::DEBUG_LEVEL) << "debug " << count() << Log::End();
    VOR_LOG(3, Log::WARN_LEVEL) << "warn " << count() << Log::End();
    VOR_LOG(100000, Log::INFO_LEVEL) << "info " << count() << Log::End();
    VOR_LOG(100000, Log::FATAL_LEVEL) << "fatal " << count() << Log::End();
    VOR_LOG(4, Log::FATAL_LEVEL) << "unknown " << count() << Log::End();
    EXPECT_EQ(2, evaluated); // filtered statements do not evaluate their arguments
    EXPECT_EQ(Messages(path), (std::vector<std::string>{"warn 1", "fatal 2"}));
    ASSERT_TRUE(Log::DelModule(3));
    EXPECT_FALSE(Log::IsEnabled(3, Log::FATAL_LEVEL));
    EXPECT_TRUE(Log::IsEnabled(100000, Log::ERROR_LEVEL));
}

// Text from arguments is never read as a format; wide text becomes UTF-8;
// one argument list serves the file and the console alike.
TEST_F(LogTest, StatementsReachEveryOutputIntact)
{
    std::string path = m_Dir.Path("text.log");
    ASSERT_TRUE(Log::AddModule(Log::Param(7, Log::INFO_LEVEL, 0, path)));
    VOR_LOG(7, Log::INFO_LEVEL, "a%b%%c") << "%s%n%d" << Log::End();
    VOR_LOG(7, Log::INFO_LEVEL, "100%% done, % left") << 0 << Log::End();
    VOR_LOG(7, Log::INFO_LEVEL, L"gr\u00fc\u00dfe % %%") << L"\u20ac" << Log::End();
    EXPECT_EQ(Messages(path), (std::vector<std::string>{"a%s%n%db%c", "100% done, 0 left",
                                                     "gr\xc3\xbc\xc3\x9f" "e \xe2\x82\xac %"}));

    std::string both = m_Dir.Path("both.log");
    LogDevice device;
    ASSERT_TRUE(device.Open(Log::Param(6, Log::INFO_LEVEL, 2, both)));
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
    EXPECT_EQ(Messages(both), std::vector<std::string>{"1 2 3 4 5 6 7 eight 9.0"});
}

TEST_F(LogTest, RegistrationKeepsTheFirstAndRefusesUnopenableFiles)
{
    std::string first = m_Dir.Path("first.log"), second = m_Dir.Path("second.log");
    ASSERT_TRUE(Log::AddModule(Log::Param(9, Log::INFO_LEVEL, 0, first)));
    EXPECT_TRUE(Log::AddModule(Log::Param(9, Log::TRACE_LEVEL, 0, second)));
    VOR_LOG(9, Log::DEBUG_LEVEL) << "dropped" << Log::End();
    VOR_LOG(9, Log::INFO_LEVEL) << "kept" << Log::End();
    // The second registration's file was released: a backup moves only the first.
    EXPECT_TRUE(Log::Backup("b", false));
    EXPECT_EQ(1u, ReadLines(m_Dir.Path("first_b.log")).size());
    EXPECT_EQ("<missing>", VorTest::ReadFile(m_Dir.Path("second_b.log")));

    std::string missing = m_Dir.Path("no/such/folder/app.log"), good = m_Dir.Path("good.log");
    EXPECT_FALSE(Log::AddModule(Log::Param(10, Log::TRACE_LEVEL, 2, missing)));
    EXPECT_FALSE(Log::IsEnabled(10, Log::FATAL_LEVEL));
    EXPECT_FALSE(Log::Init({Log::Param(11, Log::INFO_LEVEL, 0, good), Log::Param(12, Log::INFO_LEVEL, 0, missing),
                            Log::Param(13, Log::INFO_LEVEL, 0, good)}));
    EXPECT_TRUE(Log::IsEnabled(11, Log::INFO_LEVEL)); // added before the failure
    EXPECT_FALSE(Log::IsEnabled(12, Log::INFO_LEVEL));
    EXPECT_FALSE(Log::IsEnabled(13, Log::INFO_LEVEL)); // after it: never tried
}

TEST_F(LogTest, NullWriterIsSharedByFilteredStatementsOfAllThreads)
{
    // Filtered statements all get the one null writer: it takes every
    // insertion from every thread without changing, and no release may
    // destroy it.
    Core::Guard<LogWriter<char>> null = LogWriter<char>::GetNull();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 2000; ++i) {
                Log::Write(200, Log::FATAL_LEVEL, "% %") << t << i << Log::End();
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

TEST_F(LogTest, StatementHoldingTheHandleFinishesAfterRemoval)
{
    std::string path = m_Dir.Path("late.log");
    ASSERT_TRUE(Log::AddModule(Log::Param(16, Log::INFO_LEVEL, 0, path)));
    Core::Guard<LogWriter<char>> statement = Log::Write(16, Log::INFO_LEVEL, "started before %");
    ASSERT_FALSE(statement->IsNull());
    ASSERT_TRUE(Log::UnInit());
    statement << "UnInit" << Log::End();
    EXPECT_TRUE(Log::Write(16, Log::FATAL_LEVEL)->IsNull());
    EXPECT_EQ(Messages(path), std::vector<std::string>{"started before UnInit"});
}
