#include "support/wait.h"

#include "platform/clock.h"

#if defined(_WIN32)
#include "support/windows.h"
#include <tlhelp32.h>
#else
#include <dirent.h>
#include <sys/resource.h>
#endif

namespace VorTest {

bool WaitUntil(std::function<bool()> const& condition, std::chrono::milliseconds bound)
{
    std::uint64_t deadline = Vor::Platform::MonotonicMs() + static_cast<std::uint64_t>(bound.count());
    while (!condition()) {
        if (Vor::Platform::MonotonicMs() >= deadline)
            return condition();
        Vor::Platform::SleepMs(1);
    }
    return true;
}

#if defined(_WIN32)

// Windows counts threads in a snapshot of the system's, and the handles of
// files, sockets, pipes and consoles where Linux counts descriptors.
unsigned int ProcessThreadCount()
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return 0;
    unsigned int count = 0;
    THREADENTRY32 entry;
    entry.dwSize = sizeof(entry);
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        count += entry.th32OwnerProcessID == GetCurrentProcessId();
    CloseHandle(snapshot);
    return count;
}

unsigned int OpenDescriptorCount()
{
    // Handles are multiples of four, given out lowest free first; the
    // system's own count is not kept by every implementation (Wine's is 0),
    // so the table is probed until a long run of free slots. Events,
    // threads and the like are left out, as Linux has no descriptor for
    // them: a lock makes its event at its first contention and keeps it,
    // which is no leak.
    unsigned int count = 0;
    for (std::uintptr_t slot = 4, misses = 0; misses < 4096; slot += 4) {
        HANDLE handle = reinterpret_cast<HANDLE>(slot);
        DWORD flags = 0;
        if (!GetHandleInformation(handle, &flags)) {
            ++misses;
            continue;
        }
        misses = 0;
        SetLastError(NO_ERROR);
        if (GetFileType(handle) != FILE_TYPE_UNKNOWN || GetLastError() == NO_ERROR)
            ++count;
    }
    return count;
}

// Sockets are not limited per process here.
unsigned int RaiseDescriptorLimit(unsigned int want) { return want; }

#else

namespace {
unsigned int CountEntries(char const* path)
{
    unsigned int count = 0;
    if (DIR* dir = opendir(path)) {
        while (dirent* entry = readdir(dir))
            count += entry->d_name[0] != '.';
        closedir(dir);
    }
    return count;
}
} // namespace

unsigned int ProcessThreadCount() { return CountEntries("/proc/self/task"); }

// opendir holds one descriptor of its own while counting.
unsigned int OpenDescriptorCount()
{
    unsigned int n = CountEntries("/proc/self/fd");
    return n > 0 ? n - 1 : 0;
}

unsigned int RaiseDescriptorLimit(unsigned int want)
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 0;
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max == RLIM_INFINITY || limit.rlim_max > want ? want : limit.rlim_max;
    if (raised.rlim_cur > limit.rlim_cur && setrlimit(RLIMIT_NOFILE, &raised) == 0)
        limit = raised;
    return limit.rlim_cur > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<unsigned int>(limit.rlim_cur);
}

#endif

} // namespace VorTest
