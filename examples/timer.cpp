// Periodic timers: two timer ids, each served by a handler registered under
// that id in a thread-pool scheduler. The fast one ticks every 50 ms, the
// slow one every 120 ms; the program stops the slow one after its third
// tick, lets the fast one reach ten, and prints what each handler saw.
#include <vor/vor.h>

#include <atomic>
#include <cstdio>

using namespace Vor;
using Core::Guard;
using Core::New;

namespace {

constexpr unsigned int kFast = 1;
constexpr unsigned int kSlow = 2;

// Counts its ticks; the work of a timer id runs on a pool thread.
class Tick : public Sched::Handler {
public:
    explicit Tick(unsigned int id) : m_uId(id) {}
    unsigned int GetID() override { return m_uId; }
    bool OnHandle(Guard<Param>) override
    {
        std::printf("timer %u: tick %u\n", m_uId, ++m_uTicks);
        return true;
    }
    unsigned int Ticks() const { return m_uTicks.load(); }

private:
    unsigned int m_uId;
    std::atomic<unsigned int> m_uTicks{0};
};

// Waits up to `ms` for a handler to reach `ticks`.
bool WaitFor(Tick const& tick, unsigned int ticks, unsigned int ms)
{
    for (unsigned int waited = 0; tick.Ticks() < ticks && waited < ms; waited += 10)
        System::Sleep(10);
    return tick.Ticks() >= ticks;
}

} // namespace

int main()
{
    Guard<Sched::Scheduler> scheduler = New<Sched::Scheduler, Sched::TpSched>();
    Guard<Tick> fast = New<Tick>(kFast), slow = New<Tick>(kSlow);
    if (!scheduler->Init(Sched::Scheduler::Param(2)) || !scheduler->Register(Guard<Sched::Handler>(fast.Raw())) ||
        !scheduler->Register(Guard<Sched::Handler>(slow.Raw()))) {
        std::printf("the scheduler did not start\n");
        return 1;
    }

    Guard<Sched::Timer> timer = New<Sched::Timer>();
    Sched::Timer::Param param(scheduler); // a plain event: each id to its handler
    if (!timer->Init(param) || !timer->AddTimer(kFast, 50) || !timer->AddTimer(kSlow, 120)) {
        std::printf("the timer did not start\n");
        return 1;
    }
    bool slowTicked = WaitFor(*slow, 3, 5000);
    timer->KillTimer(kSlow);
    bool fastTicked = WaitFor(*fast, 10, 5000);
    // After UnInit no tick reaches a handler any more.
    timer->UnInit();
    scheduler->UnInit(5000);
    std::printf("fast: %u ticks, slow: %u ticks (stopped once it had 3)\n", fast->Ticks(), slow->Ticks());
    return slowTicked && fastTicked ? 0 : 1;
}
