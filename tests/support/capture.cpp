#include "support/capture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <iostream>
#include <sys/stat.h>
#include <unistd.h>

namespace VorTest {

namespace {

std::atomic<bool> g_bActive{false};

// An anonymous temporary file: it vanishes with its last descriptor.
int OpenTemporary()
{
    char const* dir = std::getenv("TMPDIR");
    std::string path = std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/vor-stderr-XXXXXX";
    int fd = mkstemp(&path[0]);
    if (fd >= 0)
        unlink(path.c_str());
    return fd;
}

void FlushStreams()
{
    std::cerr.flush();
    std::clog.flush();
    std::fflush(stderr);
}

} // namespace

StderrCapture::StderrCapture()
{
    if (g_bActive.exchange(true)) {
        ADD_FAILURE() << "a standard error capture is already active";
        return;
    }
    m_iFile = OpenTemporary();
    if (m_iFile < 0) {
        g_bActive = false;
        ADD_FAILURE() << "no temporary file for capturing standard error";
        return;
    }
    FlushStreams();
    m_iSaved = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    if (m_iSaved < 0 || dup2(m_iFile, STDERR_FILENO) < 0) {
        if (m_iSaved >= 0)
            close(m_iSaved);
        m_iSaved = -1;
        close(m_iFile);
        m_iFile = -1;
        g_bActive = false;
        ADD_FAILURE() << "standard error could not be redirected";
    }
}

StderrCapture::~StderrCapture()
{
    Stop();
    std::lock_guard<std::mutex> hold(m_Lock);
    if (m_iFile >= 0)
        close(m_iFile);
}

void StderrCapture::Stop()
{
    std::lock_guard<std::mutex> hold(m_Lock);
    if (m_iSaved < 0)
        return;
    FlushStreams();
    dup2(m_iSaved, STDERR_FILENO);
    close(m_iSaved);
    m_iSaved = -1;
    g_bActive = false;
}

std::string StderrCapture::Text() const
{
    std::lock_guard<std::mutex> hold(m_Lock);
    std::string text;
    if (m_iFile < 0)
        return text;
    FlushStreams();
    // pread from the start: the shared write offset of descriptor 2 is left
    // alone, so writers go on appending.
    char buffer[4096];
    off_t offset = 0;
    for (;;) {
        ssize_t n = pread(m_iFile, buffer, sizeof buffer, offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        text.append(buffer, static_cast<std::size_t>(n));
        offset += n;
    }
    return text;
}

std::vector<std::string> StderrCapture::Lines() const
{
    std::string text = Text();
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

} // namespace VorTest
