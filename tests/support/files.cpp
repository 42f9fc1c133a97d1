#include "support/files.h"

#include <atomic>
#include <cstdlib>
#include <string>
#if defined(_WIN32)
#include "support/windows.h"
#endif
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

namespace VorTest {

namespace fs = std::filesystem;

TempDir::TempDir()
{
#if defined(_WIN32)
    // No mkdtemp here: a name from the process id and a counter, made
    // with create_directory, which fails on an existing one.
    static std::atomic<unsigned int> s_uNext{0};
    for (int attempt = 0; attempt < 100 && m_Root.empty(); ++attempt) {
        fs::path candidate = fs::temp_directory_path() / ("vor-test-" + std::to_string(GetCurrentProcessId()) + "-" +
                                                          std::to_string(s_uNext++));
        std::error_code error;
        if (fs::create_directory(candidate, error))
            m_Root = candidate.string();
    }
#else
    std::string pattern = (fs::temp_directory_path() / "vor-test-XXXXXX").string();
    char const* made = mkdtemp(&pattern[0]);
    m_Root = made != nullptr ? made : std::string();
#endif
}

TempDir::~TempDir()
{
    std::error_code ignored;
    if (!m_Root.empty())
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
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
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
int FindDescriptor(std::string const&) { return -1; }
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
