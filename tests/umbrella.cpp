// Compiles against the umbrella header alone and uses one class of each
// folder that exists, so a header left out of it fails the build.
#include <vor/vor.h>

int main()
{
    Vor::Core::Guard<Vor::Core::RefTest> guard = Vor::Core::New<Vor::Core::RefTest>();
    Vor::Core::Lock lock;
    lock.Enter();
    Vor::Io::Memory memory;
    bool io = memory.Open(Vor::Io::Memory::MEM_SEQUENTIAL, 0) && memory.GetHandle().WriteUInt32(7) &&
              memory.GetHandle().GetSize() == 4;
    return guard.IsValid() && lock.GetDepth() == 1 && io ? 0 : 1;
}
