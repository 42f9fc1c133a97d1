// Running a piece of a test in a child process whose standard streams are
// pipes, to check what it reads from descriptor 0 and writes to 1 and 2.
#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace VorTest {

struct ChildResult {
    bool finished = false; // exited within the bound
    int exitCode = -1;     // the body's result, or -1 when it did not exit normally
    std::string out;       // everything written to descriptor 1
    std::string err;       // everything written to descriptor 2
};

// Forks; the child gets `input` (then the end of input) on descriptor 0,
// runs `body`, flushes the standard streams and exits with body's result.
// The parent collects both outputs until the child ends or `bound` passes
// (the child is then killed).
// On Windows the child is the test program run again for the current test,
// up to this call's turn; the calls before it return an empty result there.
// A test that calls this more than once must therefore go on (EXPECT, not
// ASSERT) past a result it does not like.
ChildResult RunInChild(std::function<int()> const& body, std::string const& input = std::string(),
                       std::chrono::milliseconds bound = std::chrono::milliseconds(10000));

} // namespace VorTest
