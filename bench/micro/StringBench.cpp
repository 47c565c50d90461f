// Strings: decoding UTF-8 command-line text into String16, and the UTF-8
// display form of a String16.
#include <quellix/String16.h>
#include <quellix/String8.h>

#include <benchmark/benchmark.h>

namespace {

// A service name as list prints them, and a name with two- to four-byte
// sequences.
const char kAscii[] = "bench.service.000042";
const char kMixed[] = "gr\xC3\xBC\xC3\x9F" "e.\xE5\x90\x8D\xE5\x89\x8D.\xF0\x9F\x98\x80.service";

void BM_String16FromUtf8(benchmark::State& state, const char* text)
{
    for (auto _ : state) {
        String16 decoded(text);
        benchmark::DoNotOptimize(decoded.data());
    }
}
BENCHMARK_CAPTURE(BM_String16FromUtf8, ascii, kAscii);
BENCHMARK_CAPTURE(BM_String16FromUtf8, mixed, kMixed);

void BM_String8FromString16(benchmark::State& state, const char* text)
{
    const String16 units(text);
    for (auto _ : state) {
        String8 shown(units);
        benchmark::DoNotOptimize(shown.c_str());
    }
}
BENCHMARK_CAPTURE(BM_String8FromString16, ascii, kAscii);
BENCHMARK_CAPTURE(BM_String8FromString16, mixed, kMixed);

} // namespace
