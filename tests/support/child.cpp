#include "support/child.h"

#include "support/files.h"
#include "support/wait.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <initializer_list>
#include <iostream>
#if defined(_WIN32)
#include "support/windows.h"
#include <gtest/gtest.h>
#include <cstdlib>
#include <thread>
#else
#include <vor/core/thread.h>

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#if defined(__SANITIZE_THREAD__)
#define VOR_TEST_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VOR_TEST_TSAN 1
#endif
#endif

namespace VorTest {

#if defined(_WIN32)

// Windows cannot fork: the test program runs again as the child, with only
// the current test selected and VOR_TEST_CHILD naming which RunInChild of
// that test is the child's. The child runs the test up to that call, runs
// the body there with pipes on its standard streams and exits with its
// result; the calls before it do nothing.
namespace {

unsigned int ChildIndex()
{
    char const* index = std::getenv("VOR_TEST_CHILD");
    return index != nullptr ? static_cast<unsigned int>(std::atoi(index)) : 0;
}

char const kChildMark[] = "<<vor test child>>";

void Drain(HANDLE pipe, std::string* sink)
{
    char buffer[4096];
    DWORD n = 0;
    while (::ReadFile(pipe, buffer, sizeof buffer, &n, nullptr) && n > 0)
        sink->append(buffer, n);
    // The test program's own lines (the test framework's banner) come
    // before the mark.
    std::size_t at = sink->find(kChildMark);
    if (at != std::string::npos)
        sink->erase(0, at + sizeof kChildMark - 1);
}

} // namespace

ChildResult RunInChild(std::function<int()> const& body, std::string const& input, std::chrono::milliseconds bound)
{
    static unsigned int s_uCalls = 0;
    static std::string s_Test;
    ::testing::TestInfo const* test = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = test != nullptr ? std::string(test->test_suite_name()) + "." + test->name() : std::string();
    if (name != s_Test)
        s_Test = name, s_uCalls = 0;
    unsigned int call = ++s_uCalls;
    ChildResult result;
    if (unsigned int wanted = ChildIndex()) {
        if (call != wanted)
            return result;
        std::cout.flush();
        std::cerr.flush();
        std::fflush(nullptr);
        // What the test program wrote before the body is cut off by the
        // parent at this mark.
        std::fputs(kChildMark, stdout);
        std::fputs(kChildMark, stderr);
        std::fflush(nullptr);
        std::clearerr(stdin);
        std::cin.clear();
        int code = body();
        std::cout.flush();
        std::cerr.flush();
        std::fflush(nullptr);
        _exit(code);
    }

    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE inRead = nullptr, inWrite = nullptr, outRead = nullptr, outWrite = nullptr, errRead = nullptr,
           errWrite = nullptr;
    if (!CreatePipe(&inRead, &inWrite, &inherit, 1 << 16) || !CreatePipe(&outRead, &outWrite, &inherit, 0) ||
        !CreatePipe(&errRead, &errWrite, &inherit, 0))
        return result;
    // The parent's ends stay in the parent.
    SetHandleInformation(inWrite, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);
    char program[MAX_PATH + 1] = {};
    GetModuleFileNameA(nullptr, program, MAX_PATH);
    std::string command = std::string("\"") + program + "\" --gtest_filter=" + name;
    SetEnvironmentVariableA("VOR_TEST_CHILD", std::to_string(call).c_str());
    SetEnvironmentVariableA("VOR_TEST_DIRS", TempDirsOfThisTest().c_str());
    STARTUPINFOA start{};
    start.cb = sizeof start;
    start.dwFlags = STARTF_USESTDHANDLES;
    start.hStdInput = inRead;
    start.hStdOutput = outWrite;
    start.hStdError = errWrite;
    PROCESS_INFORMATION child{};
    BOOL started = CreateProcessA(program, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &start, &child);
    SetEnvironmentVariableA("VOR_TEST_CHILD", nullptr);
    SetEnvironmentVariableA("VOR_TEST_DIRS", nullptr);
    CloseHandle(inRead);
    CloseHandle(outWrite);
    CloseHandle(errWrite);
    if (started) {
        DWORD written = 0;
        ::WriteFile(inWrite, input.data(), static_cast<DWORD>(input.size()), &written, nullptr);
    }
    CloseHandle(inWrite);
    // Both outputs are read as they come: a child that fills one pipe must
    // not wait on the other.
    std::thread out([&] { Drain(outRead, &result.out); });
    std::thread err([&] { Drain(errRead, &result.err); });
    if (started) {
        result.finished = WaitForSingleObject(child.hProcess, static_cast<DWORD>(bound.count())) == WAIT_OBJECT_0;
        DWORD code = 0;
        if (!result.finished)
            TerminateProcess(child.hProcess, 255);
        else if (GetExitCodeProcess(child.hProcess, &code))
            result.exitCode = static_cast<int>(code);
        CloseHandle(child.hThread);
        CloseHandle(child.hProcess);
    }
    out.join();
    err.join();
    CloseHandle(outRead);
    CloseHandle(errRead);
    return result;
}

#else

namespace {

void FlushAll()
{
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
}

void Close(std::initializer_list<int*> descriptors)
{
    for (int* fd : descriptors)
        if (*fd >= 0)
            close(*fd), *fd = -1;
}

} // namespace

ChildResult RunInChild(std::function<int()> const& body, std::string const& input, std::chrono::milliseconds bound)
{
    using namespace std::chrono;
    ChildResult result;
    int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
    // The input goes into the pipe before the child starts, so it must fit
    // the pipe's buffer (64 KiB); the end of input follows it.
    bool ready = pipe2(in, O_CLOEXEC) == 0 && pipe2(out, O_CLOEXEC) == 0 && pipe2(err, O_CLOEXEC) == 0 &&
                 fcntl(in[1], F_SETFL, O_NONBLOCK) == 0 &&
                 write(in[1], input.data(), input.size()) == static_cast<ssize_t>(input.size());
    FlushAll(); // whatever this process still has buffered must not be written twice
#if defined(VOR_TEST_TSAN)
    // The thread checker lets a child of a process with threads start none
    // of its own: threads an earlier test left to finish (a thread-per-task
    // scheduler's, say) are given a while to end first.
    WaitUntil([] { return Vor::Core::Thread::GetCount() == 0; }, milliseconds(5000));
#endif
    pid_t pid = ready ? fork() : -1;
    if (pid == 0) {
        if (dup2(in[0], 0) < 0 || dup2(out[1], 1) < 0 || dup2(err[1], 2) < 0)
            _exit(127);
        // The copies on 0, 1 and 2 stay: dup2 made them without close-on-exec.
        Close({&in[0], &in[1], &out[0], &out[1], &err[0], &err[1]});
        std::clearerr(stdin);
        std::cin.clear();
        int code = body();
        FlushAll();
        _exit(code);
    }
    Close({&in[0], &in[1], &out[1], &err[1]});
    // Both outputs are read as they come until the child closes them or the
    // bound passes: a child that fills one pipe must not wait on the other.
    steady_clock::time_point deadline = steady_clock::now() + bound;
    auto left = [&] { return std::max(duration_cast<milliseconds>(deadline - steady_clock::now()), milliseconds(0)); };
    std::string* sinks[2] = {&result.out, &result.err};
    while (pid > 0 && (out[0] >= 0 || err[0] >= 0) && left().count() > 0) {
        pollfd watched[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
        if (poll(watched, 2, static_cast<int>(left().count())) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; ++i) {
            int& fd = i == 0 ? out[0] : err[0];
            char buffer[4096];
            ssize_t n = watched[i].revents != 0 ? read(fd, buffer, sizeof buffer) : -1;
            if (n > 0)
                sinks[i]->append(buffer, static_cast<std::size_t>(n));
            else if (watched[i].revents != 0 && (n == 0 || errno != EINTR))
                Close({&fd});
        }
    }
    Close({&out[0], &err[0]});
    int status = 0;
    result.finished = pid > 0 && WaitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, left());
    if (pid > 0 && !result.finished)
        kill(pid, SIGKILL), waitpid(pid, &status, 0);
    result.exitCode = result.finished && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

#endif

} // namespace VorTest
