// The block cache behind LocalRef's allocation.
//
// Each block carries its size class in a 16-byte header, so any thread may
// free any block, whatever it was allocated as. A thread keeps at most
// kPerClass freed blocks of each class; a full list goes to a shared depot
// as one batch, from which a thread whose list ran dry takes a batch back.
// So blocks that one thread allocates and another frees (a producer's
// tasks run by pool workers) come round again instead of going through the
// heap. What a thread keeps is given back to the heap when it ends. Builds under the
// address sanitizer go to the heap every time, so that a use after free is
// still caught.
#include <vor/core/guard.h>

#include <cstdlib>
#include <mutex>
#include <new>

namespace Vor {
namespace Core {

namespace {

constexpr std::size_t kHeader = 16;
constexpr std::size_t kGrain = 16;
constexpr unsigned int kClasses = 16; // objects up to 256 bytes
constexpr unsigned int kPerClass = 256;
constexpr unsigned int kHeap = 0xFFFF; // the class of a block from the heap

// Not in the Windows build: there the cache's thread-exit destructor, a
// thread_local one inside a DLL, now and then never returns, and the
// ending thread hangs (three producers that each allocated and ended left
// their joins waiting for good).
#if defined(_WIN32)
#define VOR_BLOCK_CACHE 0
#elif defined(__SANITIZE_ADDRESS__)
#define VOR_BLOCK_CACHE 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VOR_BLOCK_CACHE 0
#endif
#endif
#ifndef VOR_BLOCK_CACHE
#define VOR_BLOCK_CACHE 1
#endif

#if defined(__ELF__)
#define VOR_FAST_TLS __attribute__((tls_model("initial-exec")))
#else
#define VOR_FAST_TLS
#endif

struct Free {
    Free* next;
    Free* nextBatch; // in the first block of a batch in the depot
};

constexpr unsigned int kBatches = 64; // batches per class in the depot

struct Depot {
    std::mutex lock;
    Free* batches[kClasses] = {};
    unsigned int count[kClasses] = {};
};

Depot& TheDepot()
{
    static Depot* s_pDepot = new Depot; // never freed: threads may end after static destruction
    return *s_pDepot;
}

// Hands a full list to the depot; false when the depot has no room.
bool PutBatch(unsigned int c, Free* batch)
{
    Depot& depot = TheDepot();
    std::lock_guard<std::mutex> hold(depot.lock);
    if (depot.count[c] >= kBatches)
        return false;
    batch->nextBatch = depot.batches[c];
    depot.batches[c] = batch;
    ++depot.count[c];
    return true;
}

Free* TakeBatch(unsigned int c)
{
    Depot& depot = TheDepot();
    std::lock_guard<std::mutex> hold(depot.lock);
    Free* batch = depot.batches[c];
    if (batch != nullptr) {
        depot.batches[c] = batch->nextBatch;
        --depot.count[c];
    }
    return batch;
}

// Trivially destructible, so that reaching it costs no initialisation check.
struct Cache {
    Free* head[kClasses];
    unsigned int count[kClasses];
    bool draining; // set once the thread's cache has been given back
    bool registered;
};

thread_local Cache t_Cache VOR_FAST_TLS;

void* Raw(void* block) { return static_cast<unsigned char*>(block) - kHeader; }
unsigned int& ClassOf(void* raw) { return *static_cast<unsigned int*>(raw); }

void Drain(Cache& cache)
{
    cache.draining = true;
    for (unsigned int c = 0; c < kClasses; ++c) {
        while (Free* f = cache.head[c]) {
            cache.head[c] = f->next;
            std::free(f);
        }
        cache.count[c] = 0;
    }
}

struct Drainer {
    ~Drainer() { Drain(t_Cache); }
};

void Register(Cache& cache)
{
    cache.registered = true;
    static thread_local Drainer s_Drainer;
    (void)&s_Drainer;
}

void* Allocate(std::size_t size) noexcept
{
    unsigned int c = size == 0 ? 0 : static_cast<unsigned int>((size - 1) / kGrain);
    if (VOR_BLOCK_CACHE && c < kClasses) {
        Cache& cache = t_Cache;
        if (cache.head[c] == nullptr && !cache.draining) {
            if (Free* batch = TakeBatch(c)) {
                if (!cache.registered)
                    Register(cache);
                cache.head[c] = batch;
                cache.count[c] = kPerClass;
            }
        }
        if (Free* f = cache.head[c]) {
            cache.head[c] = f->next;
            --cache.count[c];
            ClassOf(f) = c;
            return static_cast<unsigned char*>(static_cast<void*>(f)) + kHeader;
        }
    }
    std::size_t total = (VOR_BLOCK_CACHE && c < kClasses) ? (c + 1) * kGrain + kHeader : size + kHeader;
    if (total < size)
        return nullptr; // the size overflowed
    void* raw = std::malloc(total);
    if (raw == nullptr)
        return nullptr;
    ClassOf(raw) = (VOR_BLOCK_CACHE && c < kClasses) ? c : kHeap;
    return static_cast<unsigned char*>(raw) + kHeader;
}

} // namespace

void* LocalRef::operator new(std::size_t size, std::nothrow_t const&) noexcept { return Allocate(size); }

void* LocalRef::operator new(std::size_t size)
{
    void* block = Allocate(size);
    if (block == nullptr)
        throw std::bad_alloc();
    return block;
}

void LocalRef::operator delete(void* block) noexcept
{
    if (block == nullptr)
        return;
    void* raw = Raw(block);
    unsigned int c = ClassOf(raw);
    if (c < kClasses) {
        Cache& cache = t_Cache;
        if (!cache.draining && cache.count[c] == kPerClass && PutBatch(c, cache.head[c])) {
            cache.head[c] = nullptr;
            cache.count[c] = 0;
        }
        if (!cache.draining && cache.count[c] < kPerClass) {
            if (!cache.registered)
                Register(cache);
            Free* f = static_cast<Free*>(raw);
            f->next = cache.head[c];
            cache.head[c] = f;
            ++cache.count[c];
            return;
        }
    }
    std::free(raw);
}

} // namespace Core
} // namespace Vor
