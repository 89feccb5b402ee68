// Throughput of the value types on the mail path: a 25 MiB attachment
// appended line by line, and the text-form conversions of a large body.
#include "core/DataBuffer.h"
#include "core/StringBuffer.h"
#include "core/XString.h"

#include <benchmark/benchmark.h>

#include <string>

using namespace ostmail;

namespace {
constexpr size_t kAttachment = 25u << 20;
const char kLine[] = "QUJDREVGR0hJSktMTU5PUFFSU1RVVldYWVphYmNkZWZnaGlqa2xtbm9wcXJzdHV2d3h5ejAx\r\n";
constexpr size_t kLineLen = sizeof kLine - 1;

std::string bigText() {
    std::string s;
    s.reserve(kAttachment + 128);
    while (s.size() < kAttachment) s += "Gr\xC3\xBC\xC3\x9F" "e aus dem Anhang \xE2\x82\xAC 42, plain ASCII tail\r\n";
    return s;
}
}  // namespace

static void BM_StringBufferAppendLines(benchmark::State& state) {
    for (auto _ : state) {
        StringBuffer sb;
        for (size_t n = 0; n < kAttachment; n += kLineLen) sb.appendN(kLine, kLineLen);
        benchmark::DoNotOptimize(sb.getString());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kAttachment);
}
BENCHMARK(BM_StringBufferAppendLines)->Unit(benchmark::kMillisecond);

static void BM_DataBufferAppendLines(benchmark::State& state) {
    for (auto _ : state) {
        DataBuffer db;
        for (size_t n = 0; n < kAttachment; n += kLineLen) db.append(kLine, kLineLen);
        benchmark::DoNotOptimize(db.getData());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kAttachment);
}
BENCHMARK(BM_DataBufferAppendLines)->Unit(benchmark::kMillisecond);

static void BM_DataBufferAppendBytes(benchmark::State& state) {
    for (auto _ : state) {
        DataBuffer db;
        for (size_t n = 0; n < (4u << 20); ++n) db.appendByte(static_cast<unsigned char>(n));
        benchmark::DoNotOptimize(db.getData());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * (4 << 20));
}
BENCHMARK(BM_DataBufferAppendBytes)->Unit(benchmark::kMillisecond);

static void BM_CrlfToLf(benchmark::State& state) {
    std::string text = bigText();
    for (auto _ : state) {
        StringBuffer sb(text.data(), text.size());
        benchmark::DoNotOptimize(sb.replaceAllOccurrences("\r\n", "\n"));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * text.size());
}
BENCHMARK(BM_CrlfToLf)->Unit(benchmark::kMillisecond);

static void BM_XStringUtf8ToUnicode(benchmark::State& state) {
    std::string text = bigText();
    for (auto _ : state) {
        XString x;
        x.setFromUtf8(text.data(), text.size());
        benchmark::DoNotOptimize(x.getUnicode());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * text.size());
}
BENCHMARK(BM_XStringUtf8ToUnicode)->Unit(benchmark::kMillisecond);

static void BM_XStringUnicodeToUtf8(benchmark::State& state) {
    std::string text = bigText();
    XString source;
    source.setFromUtf8(text.data(), text.size());
    for (auto _ : state) {
        XString y;
        y.setFromUnicode(source.getUnicode(), source.getUnicodeUnits());
        benchmark::DoNotOptimize(y.getUtf8());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * text.size());
}
BENCHMARK(BM_XStringUnicodeToUtf8)->Unit(benchmark::kMillisecond);

static void BM_XStringUtf8ToAnsi(benchmark::State& state) {
    std::string text = bigText();
    for (auto _ : state) {
        XString x;
        x.setFromUtf8(text.data(), text.size());
        benchmark::DoNotOptimize(x.getAnsi());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * text.size());
}
BENCHMARK(BM_XStringUtf8ToAnsi)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
