// Formatting into a growable array against vsnprintf into a std::string
// sized by a measuring pass. Read each pair as a ratio of times: a short
// line that fits the first 256 characters, and a 1000-character line that
// makes the array grow on every call (a shrunk array keeps its block but
// copies only its lowered size when it grows again).
#include <vor/basic/array.h>
#include <vor/system/system.h>

#include <benchmark/benchmark.h>

#include <cstdarg>
#include <cstdio>
#include <string>

using namespace Vor;

namespace {

std::string const kShort(40, 's');
std::string const kLong(990, 'l');

// The usual portable way: measure, size, format.
std::size_t FormatToString(std::string& out, char const* format, ...)
{
    va_list args;
    va_start(args, format);
    va_list measure;
    va_copy(measure, args);
    int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length >= 0) {
        out.resize(static_cast<std::size_t>(length) + 1);
        std::vsnprintf(&out[0], out.size(), format, args);
        out.resize(static_cast<std::size_t>(length));
    }
    va_end(args);
    return out.size();
}

void StringShort(benchmark::State& state)
{
    std::string out;
    for (auto _ : state)
        benchmark::DoNotOptimize(FormatToString(out, "%s %d %u", kShort.c_str(), -42, 1234567u));
}
BENCHMARK(StringShort);

void ArrayShort(benchmark::State& state)
{
    Basic::Array<char> out;
    for (auto _ : state)
        benchmark::DoNotOptimize(Basic::PrintToArray(out, "%s %d %u", kShort.c_str(), -42, 1234567u));
}
BENCHMARK(ArrayShort);

void StringLong(benchmark::State& state)
{
    std::string out;
    for (auto _ : state)
        benchmark::DoNotOptimize(FormatToString(out, "%s %d", kLong.c_str(), 7));
}
BENCHMARK(StringLong);

void ArrayLong(benchmark::State& state)
{
    Basic::Array<char> out;
    for (auto _ : state)
        benchmark::DoNotOptimize(Basic::PrintToArray(out, "%s %d", kLong.c_str(), 7));
}
BENCHMARK(ArrayLong);

// Number to text: the library's padded form against std::to_string.
void ToStringNumber(benchmark::State& state)
{
    unsigned long long v = 1234567890123ull;
    for (auto _ : state)
        benchmark::DoNotOptimize(std::to_string(v++));
}
BENCHMARK(ToStringNumber);

void Uint2StrNumber(benchmark::State& state)
{
    unsigned long long v = 1234567890123ull;
    for (auto _ : state)
        benchmark::DoNotOptimize(System::Uint2Str64A(v++, 0));
}
BENCHMARK(Uint2StrNumber);

} // namespace

BENCHMARK_MAIN();
