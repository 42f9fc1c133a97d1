#include "support/files.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

namespace VorTest {

TempDir::TempDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "vor-test-XXXXXX").string();
    char const* made = mkdtemp(&pattern[0]);
    m_Root = made != nullptr ? made : std::string();
}

TempDir::~TempDir()
{
    std::error_code ignored;
    if (!m_Root.empty())
        std::filesystem::remove_all(m_Root, ignored);
}

std::string TempDir::Path(std::string const& name) const { return m_Root + "/" + name; }

std::string ReadFile(std::string const& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return "<missing>";
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> ReadLines(std::string const& path)
{
    std::vector<std::string> lines;
    std::ifstream in(path, std::ios::binary);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

bool WriteFile(std::string const& path, std::string const& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

int FindDescriptor(std::string const& path)
{
    std::error_code error;
    std::filesystem::path wanted = std::filesystem::canonical(path, error);
    if (error)
        return -1;
    int lowest = -1;
    for (auto const& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
        std::error_code linkError;
        std::filesystem::path target = std::filesystem::read_symlink(entry.path(), linkError);
        if (linkError || target != wanted)
            continue;
        int descriptor = std::atoi(entry.path().filename().c_str());
        if (lowest < 0 || descriptor < lowest)
            lowest = descriptor;
    }
    return lowest;
}

} // namespace VorTest
