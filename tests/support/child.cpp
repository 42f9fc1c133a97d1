#include "support/child.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <iostream>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace VorTest {

namespace {

void CloseQuietly(int& descriptor)
{
    if (descriptor >= 0)
        close(descriptor);
    descriptor = -1;
}

// The child keeps only its ends on 0, 1 and 2: a write end of its own input
// left open would keep the end of input from ever arriving.
[[noreturn]] void BecomeChild(int const (&in)[2], int const (&out)[2], int const (&err)[2],
                              std::function<int()> const& body)
{
    if (dup2(in[0], 0) < 0 || dup2(out[1], 1) < 0 || dup2(err[1], 2) < 0)
        _exit(127);
    for (int descriptor : {in[0], in[1], out[0], out[1], err[0], err[1]})
        if (descriptor > 2)
            close(descriptor);
    std::clearerr(stdin);
    std::cin.clear();
    int result = body();
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    _exit(result);
}

} // namespace

ChildResult RunInChild(std::function<int()> const& body, std::string const& input, std::chrono::milliseconds bound)
{
    ChildResult result;
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0)
        return result;
    if (pipe2(out, O_CLOEXEC) != 0) {
        close(in[0]);
        close(in[1]);
        return result;
    }
    if (pipe2(err, O_CLOEXEC) != 0) {
        for (int descriptor : {in[0], in[1], out[0], out[1]})
            close(descriptor);
        return result;
    }
    // Whatever this process still has buffered must not be written twice.
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0)
        return result;
    if (pid == 0)
        BecomeChild(in, out, err, body);

    close(in[0]);
    close(out[1]);
    close(err[1]);
    int writer = in[1];
    int readers[2] = {out[0], err[0]};
    std::string* sinks[2] = {&result.out, &result.err};
    fcntl(writer, F_SETFL, O_NONBLOCK);
    std::size_t written = 0;
    if (input.empty())
        CloseQuietly(writer);

    auto deadline = std::chrono::steady_clock::now() + bound;
    while (readers[0] >= 0 || readers[1] >= 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        pollfd watched[3];
        int count = 0;
        for (int i = 0; i < 2; ++i)
            watched[count++] = pollfd{readers[i], POLLIN, 0};
        watched[count++] = pollfd{writer, POLLOUT, 0};
        if (poll(watched, count, static_cast<int>(left.count())) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; ++i) {
            if (readers[i] < 0 || watched[i].revents == 0)
                continue;
            char buffer[4096];
            ssize_t n = read(readers[i], buffer, sizeof buffer);
            if (n > 0)
                sinks[i]->append(buffer, static_cast<std::size_t>(n));
            else if (n == 0 || errno != EINTR)
                CloseQuietly(readers[i]);
        }
        if (writer >= 0 && watched[2].revents != 0) {
            ssize_t n = write(writer, input.data() + written, input.size() - written);
            if (n > 0)
                written += static_cast<std::size_t>(n);
            if ((n < 0 && errno != EAGAIN && errno != EINTR) || written == input.size())
                CloseQuietly(writer);
        }
    }
    CloseQuietly(writer);
    CloseQuietly(readers[0]);
    CloseQuietly(readers[1]);

    int status = 0;
    pid_t ended;
    while ((ended = waitpid(pid, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline)
        usleep(1000);
    if (ended == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return result;
    }
    result.finished = ended == pid;
    if (result.finished && WIFEXITED(status))
        result.exitCode = WEXITSTATUS(status);
    return result;
}

} // namespace VorTest
