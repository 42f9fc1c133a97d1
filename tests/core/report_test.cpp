#include "core/internal/diag.h"
#include "support/capture.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

TEST(ReportTest, DiagnosticLinesFromManyThreadsStayWhole)
{
    auto line = [](int t, int i) { return std::to_string(t) + " line " + std::to_string(i) + std::string(100, 'x'); };
    VorTest::StderrCapture capture;
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([t, &line] {
            for (int i = 0; i < 200; ++i)
                Vor::Core::Internal::Report() << line(t, i);
        });
    for (auto& thread : threads)
        thread.join();
    capture.Stop();
    std::vector<std::string> lines = capture.Lines();
    std::set<std::string> distinct(lines.begin(), lines.end());
    EXPECT_EQ(1600u, lines.size());
    for (int t = 0; t < 8; ++t)
        for (int i = 0; i < 200; ++i)
            ASSERT_EQ(1u, distinct.count(line(t, i))) << t << " " << i;
}
