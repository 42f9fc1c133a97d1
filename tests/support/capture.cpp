#include "support/capture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#if defined(_WIN32)
#include "support/windows.h"
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#else
#include <unistd.h>
#endif

namespace VorTest {

namespace {

std::atomic<bool> g_bActive{false};

void FlushStreams()
{
    std::cerr.flush();
    std::clog.flush();
    std::fflush(stderr);
}

} // namespace

#if defined(_WIN32)

// Descriptor 2 of the C runtime goes to a temporary file, read back by its
// name (the file is shared for reading while it is written).
StderrCapture::StderrCapture()
{
    if (g_bActive.exchange(true)) {
        ADD_FAILURE() << "a standard error capture is already active";
        return;
    }
    char folder[MAX_PATH + 1] = {};
    char path[MAX_PATH + 1] = {};
    if (GetTempPathA(sizeof folder, folder) != 0 && GetTempFileNameA(folder, "vor", 0, path) != 0) {
        m_Path = path;
        m_iFile = _sopen(path, _O_RDWR | _O_CREAT | _O_TRUNC | _O_BINARY | _O_NOINHERIT, _SH_DENYNO, _S_IREAD | _S_IWRITE);
    }
    FlushStreams();
    m_iSaved = m_iFile >= 0 ? _dup(2) : -1;
    if (m_iSaved < 0 || _dup2(m_iFile, 2) < 0) {
        ADD_FAILURE() << "standard error could not be redirected";
        Stop();
        g_bActive = false;
    }
}

StderrCapture::~StderrCapture()
{
    Stop();
    if (m_iFile >= 0)
        _close(m_iFile);
    if (!m_Path.empty())
        DeleteFileA(m_Path.c_str());
}

void StderrCapture::Stop()
{
    std::lock_guard<std::mutex> hold(m_Lock);
    if (m_iSaved < 0)
        return;
    FlushStreams();
    _dup2(m_iSaved, 2);
    _close(m_iSaved);
    m_iSaved = -1;
    g_bActive = false;
}

std::string StderrCapture::Text() const
{
    std::lock_guard<std::mutex> hold(m_Lock);
    FlushStreams();
    if (m_iFile < 0)
        return std::string();
    std::ifstream in(m_Path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

#else

StderrCapture::StderrCapture()
{
    if (g_bActive.exchange(true)) {
        ADD_FAILURE() << "a standard error capture is already active";
        return;
    }
    // An anonymous temporary file: it vanishes with its last descriptor.
    char path[] = "/tmp/vor-stderr-XXXXXX";
    m_iFile = mkstemp(path);
    unlink(path);
    FlushStreams();
    m_iSaved = m_iFile >= 0 ? fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3) : -1;
    if (m_iSaved < 0 || dup2(m_iFile, STDERR_FILENO) < 0) {
        ADD_FAILURE() << "standard error could not be redirected";
        Stop();
        g_bActive = false;
    }
}

StderrCapture::~StderrCapture()
{
    Stop();
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
    // A fresh open of the file reads it from the start and leaves the
    // shared write offset of descriptor 2 alone, so writers go on appending.
    std::lock_guard<std::mutex> hold(m_Lock);
    FlushStreams();
    std::ifstream in("/proc/self/fd/" + std::to_string(m_iFile), std::ios::binary);
    return m_iFile < 0 ? std::string() : std::string(std::istreambuf_iterator<char>(in), {});
}

#endif

std::vector<std::string> StderrCapture::Lines() const
{
    std::istringstream text(Text());
    std::vector<std::string> lines;
    for (std::string line; std::getline(text, line);)
        lines.push_back(line);
    return lines;
}

} // namespace VorTest
