#include "support/wait.h"

#include "platform/clock.h"

#include <dirent.h>
#include <sys/resource.h>

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

unsigned int RaiseDescriptorLimit(unsigned int want)
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 0;
    if (limit.rlim_cur < want) {
        rlim_t wanted = limit.rlim_max == RLIM_INFINITY || limit.rlim_max > want ? want : limit.rlim_max;
        if (wanted > limit.rlim_cur) {
            rlimit raised = limit;
            raised.rlim_cur = wanted;
            if (setrlimit(RLIMIT_NOFILE, &raised) == 0)
                limit = raised;
        }
    }
    return limit.rlim_cur > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<unsigned int>(limit.rlim_cur);
}

} // namespace VorTest
