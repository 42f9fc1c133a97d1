// Files against the C library and a plain mapping. Read each pair as a
// ratio of bytes per second:
//   FileIoWrite / FwriteWrite: 64 MiB written sequentially in 4 KiB writes
//     through a stream file, against fwrite (goal >= 0.9);
//   MapFileIoRead / MmapMemcpyRead: a 64 MiB file read sequentially in
//     64 KiB blocks through a mapped file, against memcpy from an mmap of
//     the same file (goal >= 0.7).
// Run with --benchmark_enable_random_interleaving=true on a busy machine.
#include <vor/io/file.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

using namespace Vor::Io;

namespace {

constexpr unsigned int FILE_SIZE = 64u << 20;
constexpr unsigned int WRITE_BLOCK = 4096;
constexpr unsigned int READ_BLOCK = 64 * 1024;

// In memory when the system offers a memory file system, so that the
// figures compare the two code paths rather than the disk's mood.
std::string BenchPath(char const* name)
{
    std::error_code error;
    std::filesystem::path folder = std::filesystem::is_directory("/dev/shm", error)
                                       ? std::filesystem::path("/dev/shm")
                                       : std::filesystem::temp_directory_path();
    return (folder / (std::string("vor-bench-") + std::to_string(getpid()) + "-" + name)).string();
}

void FwriteWrite(benchmark::State& state)
{
    std::string path = BenchPath("fwrite");
    std::vector<char> block(WRITE_BLOCK, 'f');
    for (auto _ : state) {
        std::FILE* file = std::fopen(path.c_str(), "wb");
        for (unsigned int at = 0; at < FILE_SIZE; at += WRITE_BLOCK)
            std::fwrite(block.data(), 1, WRITE_BLOCK, file);
        std::fclose(file);
    }
    std::remove(path.c_str());
    state.SetBytesProcessed(static_cast<long long>(state.iterations()) * FILE_SIZE);
}
BENCHMARK(FwriteWrite)->Unit(benchmark::kMillisecond)->UseRealTime();

void FileIoWrite(benchmark::State& state)
{
    std::string path = BenchPath("fileio");
    std::vector<char> block(WRITE_BLOCK, 'f');
    for (auto _ : state) {
        File file;
        file.Open(path, "wb");
        IoHandle handle = file.GetHandle();
        for (unsigned int at = 0; at < FILE_SIZE; at += WRITE_BLOCK)
            handle.Write(block.data(), WRITE_BLOCK);
        handle.Close();
    }
    std::remove(path.c_str());
    state.SetBytesProcessed(static_cast<long long>(state.iterations()) * FILE_SIZE);
}
BENCHMARK(FileIoWrite)->Unit(benchmark::kMillisecond)->UseRealTime();

// The file both read benchmarks use, written once.
std::string const& ReadSource()
{
    static std::string s_Path = [] {
        std::string path = BenchPath("read");
        std::FILE* file = std::fopen(path.c_str(), "wb");
        std::vector<char> block(READ_BLOCK);
        for (unsigned int at = 0; at < FILE_SIZE; at += READ_BLOCK) {
            std::memset(block.data(), static_cast<int>(at >> 16), READ_BLOCK);
            std::fwrite(block.data(), 1, READ_BLOCK, file);
        }
        std::fclose(file);
        return path;
    }();
    return s_Path;
}

void MmapMemcpyRead(benchmark::State& state)
{
    int descriptor = open(ReadSource().c_str(), O_RDONLY);
    void* view = mmap(nullptr, FILE_SIZE, PROT_READ, MAP_SHARED, descriptor, 0);
    std::vector<char> block(READ_BLOCK);
    for (auto _ : state) {
        for (unsigned int at = 0; at < FILE_SIZE; at += READ_BLOCK) {
            std::memcpy(block.data(), static_cast<char const*>(view) + at, READ_BLOCK);
            benchmark::ClobberMemory();
        }
    }
    munmap(view, FILE_SIZE);
    close(descriptor);
    state.SetBytesProcessed(static_cast<long long>(state.iterations()) * FILE_SIZE);
}
BENCHMARK(MmapMemcpyRead)->Unit(benchmark::kMillisecond);

void MapFileIoRead(benchmark::State& state)
{
    File file;
    file.Open(ReadSource(), FILE_SIZE, File::READ | File::OPEN_EXISTING | File::SHARE_READ, 0);
    IoHandle handle = file.GetHandle();
    std::vector<char> block(READ_BLOCK);
    RandomParam param;
    for (auto _ : state) {
        for (unsigned int at = 0; at < FILE_SIZE; at += READ_BLOCK) {
            param.SetReadPos(at);
            handle.Read(block.data(), READ_BLOCK, param);
            benchmark::ClobberMemory();
        }
    }
    state.SetBytesProcessed(static_cast<long long>(state.iterations()) * FILE_SIZE);
}
BENCHMARK(MapFileIoRead)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::remove(ReadSource().c_str());
    return 0;
}
