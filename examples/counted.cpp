// Counted objects shared between threads: a worker pool of plain threads
// that all hold guards on one shared tally, guarded by a lock.
#include <vor/vor.h>

#include <cstdio>
#include <vector>

using namespace Vor::Core;

namespace {

class Tally : public GlobalRef {
public:
    void Add(unsigned int n)
    {
        Lock local(m_Lock);
        local.Enter();
        m_uTotal += n;
        ++m_uAdds;
    }
    unsigned int Total() const { return m_uTotal; }
    unsigned int Adds() const { return m_uAdds; }

private:
    Lock m_Lock{Lock::MUTEX_LOCK};
    unsigned int m_uTotal = 0;
    unsigned int m_uAdds = 0;
};

// Each worker holds its own guard on the tally for as long as it runs.
void Work(Guard<Tally> tally)
{
    for (unsigned int i = 1; i <= 1000; ++i)
        tally->Add(i);
}

} // namespace

int main()
{
    Guard<Tally> tally = New<Tally>(); // the only holder
    Tally* raw = tally.Raw();

    std::vector<unsigned int> ids;
    for (int i = 0; i < 4; ++i) {
        CallBack task;
        task.Bind(&Work, tally);
        ids.push_back(Thread::Create(task));
    }
    std::printf("started %zu threads, each adding 1..1000 to a shared tally\n", ids.size());
    if (!Thread::Wait(ids, 10000)) {
        std::printf("threads did not end in time\n");
        return 1;
    }
    std::printf("all threads ended; %u additions, total %u (expected %u)\n", tally->Adds(), tally->Total(),
                4u * 500500u);
    bool ok = tally->Total() == 4u * 500500u;

    tally.Clear(); // the last reference: the tally deletes itself
    Guard<Tally> stale(raw);
    std::printf("a guard built from the released pointer is %s\n", stale.IsValid() ? "valid (wrong)" : "empty");
    return ok && !stale.IsValid() ? 0 : 1;
}
