#include "platform/semaphore.h"
#include "platform/win32/native.h"

#include <new>

// Kernel semaphores: the maximum is the system's own (a release past it
// fails with ERROR_TOO_MANY_POSTS and changes nothing), and a wait's time-out
// runs on the system's own interrupt-time clock, which does not follow
// changes of the wall clock.

namespace Vor {
namespace Platform {

namespace {

HANDLE& Handle(unsigned char* storage) { return *reinterpret_cast<HANDLE*>(storage); }

bool WaitOn(HANDLE handle, std::uint32_t timeoutMs)
{
    if (handle == nullptr)
        return false;
    static_assert(kInfinite == INFINITE, "one value for no time-out");
    DWORD rc;
    {
        Win32::KillPoint wait;
        rc = WaitForSingleObject(handle, timeoutMs);
    }
    if (rc == WAIT_OBJECT_0)
        return true;
    if (rc == WAIT_TIMEOUT)
        ::SetLastError(WAIT_TIMEOUT);
    return false;
}

bool Release(HANDLE handle, std::uint32_t count)
{
    if (handle == nullptr || count == 0 || count > 0x7FFFFFFFu) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    return ReleaseSemaphore(handle, static_cast<LONG>(count), nullptr) != FALSE;
}

} // namespace

Semaphore::Semaphore(std::uint32_t maximum)
{
    static_assert(sizeof(HANDLE) <= sizeof(m_Storage), "semaphore storage too small");
    LONG limit = maximum == 0 ? 1 : maximum > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<LONG>(maximum);
    new (m_Storage) HANDLE(CreateSemaphoreA(nullptr, 0, limit, nullptr));
}

Semaphore::~Semaphore()
{
    if (Handle(m_Storage) != nullptr)
        CloseHandle(Handle(m_Storage));
}

bool Semaphore::Post(std::uint32_t count) { return Release(Handle(m_Storage), count); }

bool Semaphore::Wait(std::uint32_t timeoutMs) { return WaitOn(Handle(m_Storage), timeoutMs); }

// Names are the system's: other processes that open the same name share the
// count. A backslash would name a namespace, so it is not allowed in one.
NamedSemaphore::NamedSemaphore(char const* name) : m_pHandle(nullptr)
{
    if (name == nullptr || *name == '\0')
        return;
    for (char const* c = name; *c != '\0'; ++c) {
        if (*c == '\\')
            return;
    }
    m_pHandle = CreateSemaphoreA(nullptr, 0, 0x0FFFFFFF, name);
}

NamedSemaphore::~NamedSemaphore()
{
    if (m_pHandle != nullptr)
        CloseHandle(static_cast<HANDLE>(m_pHandle));
}

bool NamedSemaphore::Post(std::uint32_t count) { return Release(static_cast<HANDLE>(m_pHandle), count); }

bool NamedSemaphore::Wait(std::uint32_t timeoutMs) { return WaitOn(static_cast<HANDLE>(m_pHandle), timeoutMs); }

} // namespace Platform
} // namespace Vor
