#include "support/wait.h"

#include "platform/clock.h"

#include <dirent.h>

namespace VorTest {

bool WaitUntil(std::function<bool()> const& condition, std::chrono::milliseconds bound)
{
    std::uint64_t deadline = Vor::Platform::MonotonicMs() + static_cast<std::uint64_t>(bound.count());
    for (;;) {
        if (condition())
            return true;
        if (Vor::Platform::MonotonicMs() >= deadline)
            return condition();
        Vor::Platform::SleepMs(1);
    }
}

namespace {
unsigned int CountEntries(char const* path)
{
    unsigned int count = 0;
    if (DIR* dir = opendir(path)) {
        while (dirent* entry = readdir(dir)) {
            if (entry->d_name[0] != '.')
                ++count;
        }
        closedir(dir);
    }
    return count;
}
} // namespace

unsigned int ProcessThreadCount() { return CountEntries("/proc/self/task"); }

unsigned int OpenDescriptorCount()
{
    // opendir holds one descriptor of its own while counting.
    unsigned int n = CountEntries("/proc/self/fd");
    return n > 0 ? n - 1 : 0;
}

} // namespace VorTest
