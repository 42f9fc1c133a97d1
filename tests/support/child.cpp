#include "support/child.h"

#include "support/wait.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <initializer_list>
#include <iostream>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace VorTest {

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

} // namespace VorTest
