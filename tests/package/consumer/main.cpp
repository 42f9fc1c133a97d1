#include <vor/vor.h>

#include <cstdio>

namespace {
unsigned int g_Runs = 0;
void Work() { ++g_Runs; }
} // namespace

int main()
{
    Vor::Core::CallBack task;
    task.Bind(&Work);
    unsigned int id = Vor::Core::Thread::Create(task);
    if (id == Vor::Core::Thread::INVALID_ID || !Vor::Core::Thread::Wait(id, 10000) || g_Runs != 1) {
        std::printf("consumer: the library did not run the thread\n");
        return 1;
    }
    std::printf("consumer: found the installed library and ran a thread\n");
    return 0;
}
