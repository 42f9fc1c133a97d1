#include "support/child.h"

#include "support/wait.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
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

} // namespace

ChildResult RunInChild(std::function<int()> const& body, std::string const& input, std::chrono::milliseconds bound)
{
    using Clock = std::chrono::steady_clock;
    ChildResult result;
    int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
    auto closeAll = [&] {
        for (int* fd : {&in[0], &in[1], &out[0], &out[1], &err[0], &err[1]})
            if (*fd >= 0)
                close(*fd), *fd = -1;
    };
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
        closeAll(); // the copies on 0, 1 and 2 stay: they were made without close-on-exec
        std::clearerr(stdin);
        std::cin.clear();
        int code = body();
        FlushAll();
        _exit(code);
    }
    for (int* fd : {&in[0], &in[1], &out[1], &err[1]})
        if (*fd >= 0)
            close(*fd), *fd = -1;
    // Both outputs are read as they come until the child closes them or the
    // bound passes: a child that fills one pipe must not wait on the other.
    Clock::time_point deadline = Clock::now() + bound;
    std::string* sinks[2] = {&result.out, &result.err};
    while (pid > 0 && (out[0] >= 0 || err[0] >= 0)) {
        long long left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd watched[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
        if (left <= 0 || (poll(watched, 2, static_cast<int>(left)) < 0 && errno != EINTR))
            break;
        for (int i = 0; i < 2; ++i) {
            int& fd = i == 0 ? out[0] : err[0];
            char buffer[4096];
            ssize_t n = watched[i].revents != 0 ? read(fd, buffer, sizeof buffer) : -1;
            if (n > 0)
                sinks[i]->append(buffer, static_cast<std::size_t>(n));
            else if (watched[i].revents != 0 && (n == 0 || errno != EINTR))
                close(fd), fd = -1;
        }
    }
    closeAll();
    if (pid <= 0)
        return result;
    int status = 0;
    pid_t ended = 0;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (!WaitUntil([&] { return (ended = waitpid(pid, &status, WNOHANG)) != 0; }, std::max(left, decltype(left)(0)))) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return result;
    }
    result.finished = ended == pid;
    result.exitCode = result.finished && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

} // namespace VorTest
