// Capturing what the process writes to standard error.
#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace VorTest {

// While it lives (or until Stop), descriptor 2 is redirected into a private
// temporary file, so everything written to standard error by any thread of
// the process (std::cerr, stdio, raw writes) is kept instead of shown.
//
//     StderrCapture capture;
//     scheduler->Run(42, param);
//     EXPECT_EQ(capture.Lines(), std::vector<std::string>{"Can not find handler 42, ..."});
//
// One capture at a time per process: a second one started while another is
// active fails the current test and captures nothing. Lines() may be polled
// from the test thread while other threads write (e.g. inside WaitUntil).
class StderrCapture {
public:
    StderrCapture();
    ~StderrCapture();
    StderrCapture(StderrCapture const&) = delete;
    StderrCapture& operator=(StderrCapture const&) = delete;

    // Restores standard error. Later calls do nothing; what was captured
    // stays readable.
    void Stop();

    // Everything captured so far.
    std::string Text() const;
    // The captured text split at '\n', without the newlines; a last line
    // that has no newline yet is included as it stands.
    std::vector<std::string> Lines() const;

private:
    mutable std::mutex m_Lock;
    int m_iSaved = -1; // the original descriptor 2 while capturing
    int m_iFile = -1;  // the temporary file
    std::string m_Path; // its name, where it has one
};

} // namespace VorTest
