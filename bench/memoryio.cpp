// MemoryIo against memcpy. Read each pair as a ratio of bytes per second:
//   MemoryIoWrite64K / MemcpyWrite64K, MemoryIoRead64K / MemcpyRead64K
//     bulk transfers of 64 KiB blocks through a handle (goal >= 0.8);
//   MemoryIoWriteUInt32 / Memcpy1M, MemoryIoReadUInt32 / Memcpy1M
//     1 MiB moved as 4-byte typed values (goal >= 0.3);
//   PlainStoreUInt32 / Memcpy1M, PlainLoadUInt32 / Memcpy1M
//     the same values stored into and loaded from a plain buffer by a loop
//     that keeps its cursor in a register: the most that any operation
//     taking one value per call can give;
//   CursorStoreUInt32 / Memcpy1M, CursorLoadUInt32 / Memcpy1M
//     the same loops with the cursor kept where an object shared by several
//     handles must keep its position, in memory, and a call taken when the
//     room or the data runs out: the most that a typed value through a
//     handle can give.
#include <vor/io/memory.h>

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

using namespace Vor::Io;

namespace {

constexpr unsigned int BLOCK = 64 * 1024;
constexpr unsigned int SPAN = 1024 * 1024; // bytes moved per iteration

IoHandle OpenMemory()
{
    Memory memory;
    memory.Open(Memory::MEM_SEQUENTIAL, SPAN);
    return memory.GetHandle();
}

void MemcpyWrite64K(benchmark::State& state)
{
    std::vector<char> block(BLOCK, 'x');
    std::vector<char> target(SPAN);
    for (auto _ : state) {
        for (unsigned int at = 0; at < SPAN; at += BLOCK)
            std::memcpy(target.data() + at, block.data(), BLOCK);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<long long>(state.iterations()) * SPAN);
}
BENCHMARK(MemcpyWrite64K);

void MemoryIoWrite64K(benchmark::State& state)
{
    std::vector<char> block(BLOCK, 'x');
    IoHandle memory = OpenMemory();
    for (auto _ : state) {
        memory.Seek(0, IoParam::BEGIN);
        for (unsigned int at = 0; at < SPAN; at += BLOCK)
            memory.Write(block.data(), BLOCK);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<long long>(state.iterations()) * SPAN);
}
BENCHMARK(MemoryIoWrite64K);

void MemcpyRead64K(benchmark::State& state)
{
    std::vector<char> source(SPAN, 'x');
    std::vector<char> block(BLOCK);
    for (auto _ : state) {
        for (unsigned int at = 0; at < SPAN; at += BLOCK) {
            std::memcpy(block.data(), source.data() + at, BLOCK);
            benchmark::ClobberMemory();
        }
    }
    state.SetBytesProcessed(static_cast<long long>(state.iterations()) * SPAN);
}
BENCHMARK(MemcpyRead64K);

void MemoryIoRead64K(benchmark::State& state)
{
    std::vector<char> source(SPAN, 'x');
    std::vector<char> block(BLOCK);
    IoHandle memory = OpenMemory();
    memory.Write(source.data(), SPAN);
    for (auto _ : state) {
        memory.Seek(0, IoParam::BEGIN);
        for (unsigned int at = 0; at < SPAN; at += BLOCK) {
            memory.Read(block.data(), BLOCK);
            benchmark::ClobberMemory();
        }
    }
    state.SetBytesProcessed(static_cast<long long>(state.iterations()) * SPAN);
}
BENCHMARK(MemoryIoRead64K);

void Memcpy1M(benchmark::State& state)
{
    std::vector<char> source(SPAN, 'x');
    std::vector<char> target(SPAN);
    for (auto _ : state) {
        std::memcpy(target.data(), source.data(), SPAN);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<long long>(state.iterations()) * SPAN);
}
BENCHMARK(Memcpy1M);

void MemoryIoWriteUInt32(benchmark::State& state)
{
    IoHandle memory = OpenMemory();
    for (auto _ : state) {
        memory.Seek(0, IoParam::BEGIN);
        for (unsigned int i = 0; i < SPAN / 4; ++i)
            memory.WriteUInt32(i);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<long long>(state.iterations()) * SPAN);
}
BENCHMARK(MemoryIoWriteUInt32);

void MemoryIoReadUInt32(benchmark::State& state)
{
    IoHandle memory = OpenMemory();
    for (unsigned int i = 0; i < SPAN / 4; ++i)
        memory.WriteUInt32(i);
    for (auto _ : state) {
        memory.Seek(0, IoParam::BEGIN);
        unsigned int sum = 0;
        for (unsigned int i = 0; i < SPAN / 4; ++i)
            sum += memory.ReadUInt32();
        benchmark::DoNotOptimize(sum);
    }
    state.SetBytesProcessed(static_cast<long long>(state.iterations()) * SPAN);
}
BENCHMARK(MemoryIoReadUInt32);

// Hides the cursor from the optimizer at each step, at no cost of its own,
// so that the loop is not turned into vector moves: each value stays one
// 4-byte store or load at a cursor kept in a register.
template <class C>
inline void Opaque(C*& at)
{
    asm volatile("" : "+r"(at));
}

void PlainStoreUInt32(benchmark::State& state)
{
    std::vector<char> target(SPAN);
    for (auto _ : state) {
        char* at = target.data();
        benchmark::DoNotOptimize(at);
        for (unsigned int i = 0; i < SPAN / 4; ++i, at += 4) {
            Opaque(at);
            std::memcpy(at, &i, 4);
        }
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<long long>(state.iterations()) * SPAN);
}
BENCHMARK(PlainStoreUInt32);

void PlainLoadUInt32(benchmark::State& state)
{
    std::vector<char> source(SPAN, 'x');
    for (auto _ : state) {
        char const* at = source.data();
        benchmark::DoNotOptimize(at);
        unsigned int sum = 0;
        for (unsigned int i = 0; i < SPAN / 4; ++i, at += 4) {
            unsigned int value;
            Opaque(at);
            std::memcpy(&value, at, 4);
            sum += value;
        }
        benchmark::DoNotOptimize(sum);
    }
    state.SetBytesProcessed(static_cast<long long>(state.iterations()) * SPAN);
}
BENCHMARK(PlainLoadUInt32);

// A buffer with its position in memory, and the way out when a value does
// not fit, which the compiler must assume changes everything.
struct Cursor {
    char* data;
    unsigned int size;
    unsigned int position;
};

[[gnu::noinline]] void OutOfRoom(Cursor& cursor) { benchmark::DoNotOptimize(cursor); }

void CursorStoreUInt32(benchmark::State& state)
{
    std::vector<char> target(SPAN);
    Cursor* cursor = new Cursor{target.data(), SPAN, 0};
    benchmark::DoNotOptimize(cursor);
    for (auto _ : state) {
        cursor->position = 0;
        for (unsigned int i = 0; i < SPAN / 4; ++i) {
            unsigned int position = cursor->position;
            if (position > cursor->size || cursor->size - position < 4) {
                OutOfRoom(*cursor);
                continue;
            }
            std::memcpy(cursor->data + position, &i, 4);
            cursor->position = position + 4;
        }
        benchmark::ClobberMemory();
    }
    delete cursor;
    state.SetBytesProcessed(static_cast<long long>(state.iterations()) * SPAN);
}
BENCHMARK(CursorStoreUInt32);

void CursorLoadUInt32(benchmark::State& state)
{
    std::vector<char> source(SPAN, 'x');
    Cursor* cursor = new Cursor{source.data(), SPAN, 0};
    benchmark::DoNotOptimize(cursor);
    for (auto _ : state) {
        cursor->position = 0;
        unsigned int sum = 0;
        for (unsigned int i = 0; i < SPAN / 4; ++i) {
            unsigned int position = cursor->position;
            if (position > cursor->size || cursor->size - position < 4) {
                OutOfRoom(*cursor);
                continue;
            }
            unsigned int value;
            std::memcpy(&value, cursor->data + position, 4);
            sum += value;
            cursor->position = position + 4;
        }
        benchmark::DoNotOptimize(sum);
    }
    delete cursor;
    state.SetBytesProcessed(static_cast<long long>(state.iterations()) * SPAN);
}
BENCHMARK(CursorLoadUInt32);

} // namespace

BENCHMARK_MAIN();
