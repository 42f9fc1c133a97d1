#include "core/internal/diag.h"
#include "support/capture.h"

#include <gtest/gtest.h>

#include <iostream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string Line(int t, int i) { return std::to_string(t) + " line " + std::to_string(i) + std::string(100, 'x'); }

// Eight threads report `count` lines each.
void ReportFromManyThreads(int count)
{
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([t, count] {
            for (int i = 0; i < count; ++i)
                Vor::Core::Internal::Report() << Line(t, i);
        });
    for (auto& thread : threads)
        thread.join();
}

void ExpectEveryLineWhole(std::string const& text, int count)
{
    std::istringstream in(text);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    std::set<std::string> distinct(lines.begin(), lines.end());
    EXPECT_EQ(8u * count, lines.size());
    for (int t = 0; t < 8; ++t)
        for (int i = 0; i < count; ++i)
            ASSERT_EQ(1u, distinct.count(Line(t, i))) << t << " " << i;
}

} // namespace

// Whole on descriptor 2, and whole in a buffer the application gave
// std::cerr, which is no more thread-safe than any other buffer.
TEST(ReportTest, DiagnosticLinesFromManyThreadsStayWhole)
{
    VorTest::StderrCapture capture;
    ReportFromManyThreads(200);
    capture.Stop();
    ExpectEveryLineWhole(capture.Text(), 200);

    std::ostringstream redirected;
    std::streambuf* standard = std::cerr.rdbuf(redirected.rdbuf());
    ReportFromManyThreads(2000);
    std::cerr.rdbuf(standard);
    ExpectEveryLineWhole(redirected.str(), 2000);
}
