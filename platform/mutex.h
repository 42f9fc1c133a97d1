// Recursive mutual exclusion, the one primitive every library lock rests on.
#pragma once

#include "platform/export.h"

#include <cstddef>

namespace Vor {
namespace Platform {

// A recursive mutex: the owning thread may lock it again; each Lock needs
// one Unlock. Construction cannot fail, so a lock built from it always
// excludes.
class VOR_PLATFORM_API RecursiveMutex {
public:
    RecursiveMutex();
    ~RecursiveMutex();
    RecursiveMutex(RecursiveMutex const&) = delete;
    RecursiveMutex& operator=(RecursiveMutex const&) = delete;

    void Lock();
    bool TryLock();
    void Unlock();

    // Tries the lock up to `spins` times (pausing the processor between
    // tries) before blocking: cheap for short sections under contention.
    void SpinLock(unsigned int spins);

private:
    alignas(16) unsigned char m_Storage[48];
};

} // namespace Platform
} // namespace Vor
