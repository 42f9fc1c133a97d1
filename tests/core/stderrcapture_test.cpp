#include "core/internal/diag.h"
#include "support/capture.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <iostream>
#include <set>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

using VorTest::StderrCapture;

namespace {

TEST(StderrCaptureTest, KeepsWhatEveryKindOfWriterSends)
{
    StderrCapture capture;
    std::cerr << "from cerr" << std::endl;
    std::fprintf(stderr, "from stdio %d\n", 7);
    ssize_t written = write(STDERR_FILENO, "raw", 3);
    EXPECT_EQ(3, written);
    capture.Stop();
    EXPECT_EQ((std::vector<std::string>{"from cerr", "from stdio 7", "raw"}), capture.Lines());
    EXPECT_EQ("from cerr\nfrom stdio 7\nraw", capture.Text());
}

TEST(StderrCaptureTest, SeesNothingAfterStopAndCanBeReadAgain)
{
    StderrCapture capture;
    Vor::Core::Internal::ReportLine("inside");
    capture.Stop();
    capture.Stop();
    EXPECT_EQ(std::vector<std::string>{"inside"}, capture.Lines());
    EXPECT_EQ(std::vector<std::string>{"inside"}, capture.Lines());
    // A new capture starts empty once the first has stopped.
    StderrCapture next;
    EXPECT_TRUE(next.Lines().empty());
}

TEST(StderrCaptureTest, RefusesASecondCaptureWhileOneIsActive)
{
    StderrCapture capture;
    EXPECT_NONFATAL_FAILURE({ StderrCapture second; }, "already active");
    Vor::Core::Internal::ReportLine("still mine");
    capture.Stop();
    EXPECT_EQ(std::vector<std::string>{"still mine"}, capture.Lines());
}

TEST(StderrCaptureTest, DiagnosticLinesFromManyThreadsStayWhole)
{
    StderrCapture capture;
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i)
                Vor::Core::Internal::Report() << "thread " << t << " line " << i << " " << std::string(100, 'x');
        });
    }
    for (auto& thread : threads)
        thread.join();
    capture.Stop();
    std::vector<std::string> lines = capture.Lines();
    std::set<std::string> distinct(lines.begin(), lines.end());
    EXPECT_EQ(1600u, lines.size());
    for (int t = 0; t < 8; ++t)
        for (int i = 0; i < 200; ++i) {
            std::string expected = "thread " + std::to_string(t) + " line " + std::to_string(i) + " " + std::string(100, 'x');
            ASSERT_EQ(1u, distinct.count(expected)) << expected;
        }
}

} // namespace
