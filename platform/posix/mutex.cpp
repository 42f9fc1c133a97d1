#include "platform/mutex.h"
#include "platform/thread.h"

#include <new>
#include <pthread.h>

namespace Vor {
namespace Platform {

namespace {
pthread_mutex_t* Native(unsigned char* storage)
{
    return reinterpret_cast<pthread_mutex_t*>(storage);
}
} // namespace

RecursiveMutex::RecursiveMutex()
{
    static_assert(sizeof(pthread_mutex_t) <= sizeof(m_Storage), "mutex storage too small");
    // The static initialiser cannot fail, unlike pthread_mutex_init.
    new (m_Storage) pthread_mutex_t(PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP);
}

RecursiveMutex::~RecursiveMutex() { pthread_mutex_destroy(Native(m_Storage)); }

void RecursiveMutex::Lock() { pthread_mutex_lock(Native(m_Storage)); }

bool RecursiveMutex::TryLock() { return pthread_mutex_trylock(Native(m_Storage)) == 0; }

void RecursiveMutex::Unlock() { pthread_mutex_unlock(Native(m_Storage)); }

void RecursiveMutex::SpinLock(unsigned int spins)
{
    for (unsigned int i = 0; i < spins; ++i) {
        if (pthread_mutex_trylock(Native(m_Storage)) == 0)
            return;
        CpuRelax();
    }
    pthread_mutex_lock(Native(m_Storage));
}

} // namespace Platform
} // namespace Vor
