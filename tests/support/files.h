// Files for tests: a private temporary folder removed with everything in it,
// whole-file reads and writes, and finding the descriptor a path is open on.
#pragma once

#include <string>
#include <vector>

namespace VorTest {

// A fresh folder under the system's temporary folder, removed (with its
// contents) when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(TempDir const&) = delete;
    TempDir& operator=(TempDir const&) = delete;

    // The path of `name` inside the folder.
    std::string Path(std::string const& name) const;

private:
    std::string m_Root;
    bool m_bOwned = true;
};

#if defined(_WIN32)
// Where the folders of the running test are: the child process of a test
// (the test program run again, see RunInChild) finds them by this, in the
// order the parent made them, instead of making its own: their paths,
// each ended by a bar.
std::string TempDirsOfThisTest();
#endif

// The whole content of a file ("<missing>" when it cannot be read).
std::string ReadFile(std::string const& path);
// The file's lines without their newlines; a last line without a newline
// counts as it stands. Empty when the file cannot be read.
std::vector<std::string> ReadLines(std::string const& path);
// Replaces the file's content; false on failure.
bool WriteFile(std::string const& path, std::string const& bytes);
// The lowest descriptor of this process open on `path`, or -1.
int FindDescriptor(std::string const& path);

} // namespace VorTest
