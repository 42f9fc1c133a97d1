#include "support/files.h"

#include <atomic>
#include <cstdlib>
#include <string>
#if defined(_WIN32)
#include "support/windows.h"
#include <gtest/gtest.h>
#include <io.h>
#include <mutex>
#endif
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

namespace VorTest {

namespace fs = std::filesystem;

#if defined(_WIN32)
namespace {

std::mutex s_Lock;
std::string s_Test;
// The folders the running test has made, in order, each ended by '|'
// (a character no Windows path holds).
std::string s_Made;

std::string CurrentTest()
{
    ::testing::TestInfo const* test = ::testing::UnitTest::GetInstance()->current_test_info();
    return test != nullptr ? std::string(test->test_suite_name()) + "." + test->name() : std::string();
}

} // namespace

std::string TempDirsOfThisTest()
{
    std::lock_guard<std::mutex> hold(s_Lock);
    return s_Test == CurrentTest() ? s_Made : std::string();
}
#endif

TempDir::TempDir()
{
#if defined(_WIN32)
    // No mkdtemp here: a name from the process id and a counter, made
    // with create_directory, which fails on an existing one (a folder a
    // killed run left behind, or one of an earlier process with the same
    // id). A test's child process takes its parent's folders by name, in
    // the order they were made.
    static std::atomic<unsigned int> s_uNext{0};
    if (char const* parent = std::getenv("VOR_TEST_DIRS")) {
        static std::atomic<unsigned int> s_uTaken{0};
        std::string list(parent);
        std::size_t begin = 0;
        for (unsigned int skip = s_uTaken++; skip > 0 && begin < list.size(); --skip)
            begin = list.find('|', begin) + 1;
        std::size_t end = list.find('|', begin);
        if (begin < list.size() && end != std::string::npos)
            m_Root = list.substr(begin, end - begin);
        m_bOwned = false;
        return;
    }
    for (int attempt = 0; attempt < 100 && m_Root.empty(); ++attempt) {
        fs::path candidate = fs::temp_directory_path() / ("vor-test-" + std::to_string(GetCurrentProcessId()) + "-" +
                                                          std::to_string(s_uNext++));
        std::error_code error;
        if (fs::create_directory(candidate, error))
            m_Root = candidate.string();
    }
    std::string test = CurrentTest();
    std::lock_guard<std::mutex> hold(s_Lock);
    if (test != s_Test)
        s_Test = test, s_Made.clear();
    if (!m_Root.empty())
        s_Made += m_Root + "|";
#else
    std::string pattern = (fs::temp_directory_path() / "vor-test-XXXXXX").string();
    char const* made = mkdtemp(&pattern[0]);
    m_Root = made != nullptr ? made : std::string();
#endif
}

TempDir::~TempDir()
{
    std::error_code ignored;
    if (!m_Root.empty() && m_bOwned)
        fs::remove_all(m_Root, ignored);
}

std::string TempDir::Path(std::string const& name) const { return m_Root + "/" + name; }

std::string ReadFile(std::string const& path)
{
    std::ifstream in(path, std::ios::binary);
    return in ? std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()) : "<missing>";
}

std::vector<std::string> ReadLines(std::string const& path)
{
    std::vector<std::string> lines;
    std::ifstream in(path, std::ios::binary);
    for (std::string line; std::getline(in, line);) {
#if defined(_WIN32)
        // Text files written through the C runtime end their lines in CR LF.
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
#endif
        lines.push_back(line);
    }
    return lines;
}

bool WriteFile(std::string const& path, std::string const& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    return static_cast<bool>(out.write(bytes.data(), static_cast<std::streamsize>(bytes.size())));
}

#if defined(_WIN32)
// Open files have no numbers to look through here: -1, as for a file that
// is not open.
int FindDescriptor(std::string const& path)
{
    // The C runtime's descriptors, by the file their system handle is on.
    std::error_code error;
    std::string wanted = fs::canonical(path, error).string();
    for (int descriptor = 0; descriptor < 2048 && !wanted.empty(); ++descriptor) {
        std::intptr_t handle = _get_osfhandle(descriptor);
        char name[MAX_PATH + 8];
        DWORD length = handle == -1 ? 0
                                    : GetFinalPathNameByHandleA(reinterpret_cast<HANDLE>(handle), name, sizeof name,
                                                                FILE_NAME_NORMALIZED);
        if (length == 0 || length >= sizeof name)
            continue;
        std::string found(name, length);
        if (found.rfind("\\\\?\\", 0) == 0)
            found.erase(0, 4);
        if (_stricmp(fs::path(found).lexically_normal().string().c_str(),
                     fs::path(wanted).lexically_normal().string().c_str()) == 0)
            return descriptor;
    }
    return -1;
}
#else
int FindDescriptor(std::string const& path)
{
    std::error_code error;
    fs::path wanted = fs::canonical(path, error);
    int lowest = -1;
    for (auto const& entry : fs::directory_iterator("/proc/self/fd", error)) {
        std::error_code linkError;
        fs::path target = fs::read_symlink(entry.path(), linkError);
        int descriptor = std::atoi(entry.path().filename().c_str());
        if (!linkError && !wanted.empty() && target == wanted && (lowest < 0 || descriptor < lowest))
            lowest = descriptor;
    }
    return lowest;
}
#endif

} // namespace VorTest
