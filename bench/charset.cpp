// Charset conversion throughput on about 1 MB of text. Throughput counts
// input bytes.
#include "core/EncodingConvert.h"
#include "core/LogBase.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

using ostmail::DataBuffer;
using ostmail::EncodingConvert;
using ostmail::LogNull;

std::string repeatTo(const std::string& piece, size_t size) {
    std::string s;
    while (s.size() < size) s += piece;
    return s;
}

const std::string& latinText() {
    static const std::string text = repeatTo(
        "Der Gro\u00dfteil der Nachrichten ist Text: \u00c4rger \u00fcber Stra\u00dfen, "
        "caf\u00e9s \u00e0 Paris, na\u00efve fa\u00e7ades, \u00f1and\u00fa. Plain ASCII lines "
        "make up most of a typical mail body, with an accent here and there.\r\n",
        1 << 20);
    return text;
}

const std::string& japaneseText() {
    static const std::string text = repeatTo(
        "\u65e5\u672c\u8a9e\u306e\u30e1\u30fc\u30eb\u672c\u6587\u3067\u3059\u3002"
        "\u4f1a\u8b70\u306f\u660e\u65e5\u306e10\u6642\u304b\u3089\u3067\u3059\u3002"
        "Subject: meeting \u30ab\u30bf\u30ab\u30ca\u3068\u6f22\u5b57\u3002\r\n",
        1 << 20);
    return text;
}

void convertLoop(benchmark::State& state, uint32_t from, uint32_t to, const std::string& in) {
    EncodingConvert ec;
    LogNull log;
    for (auto _ : state) {
        DataBuffer out;
        bool ok = ec.convert(from, to, in.data(), in.size(), out, log);
        benchmark::DoNotOptimize(ok);
        benchmark::DoNotOptimize(out.getData());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(in.size()));
}

std::string converted(uint32_t from, uint32_t to, const std::string& in) {
    EncodingConvert ec;
    LogNull log;
    DataBuffer out;
    ec.convert(from, to, in.data(), in.size(), out, log);
    return std::string(reinterpret_cast<const char*>(out.getData()), out.getSize());
}

void BM_Utf8ToLatin1(benchmark::State& s) { convertLoop(s, 65001, 28591, latinText()); }
void BM_Utf8ToWindows1252(benchmark::State& s) { convertLoop(s, 65001, 1252, latinText()); }
void BM_Utf8ToShiftJis(benchmark::State& s) { convertLoop(s, 65001, 932, japaneseText()); }
void BM_Utf8ToUtf16(benchmark::State& s) { convertLoop(s, 65001, 1200, latinText()); }
void BM_Utf8ToUtf16Japanese(benchmark::State& s) { convertLoop(s, 65001, 1200, japaneseText()); }

void BM_Utf16ToUtf8(benchmark::State& s) {
    static const std::string in = converted(65001, 1200, latinText());
    convertLoop(s, 1200, 65001, in);
}

void BM_Latin1ToUtf8(benchmark::State& s) {
    static const std::string in = converted(65001, 28591, latinText());
    convertLoop(s, 28591, 65001, in);
}

void BM_ShiftJisToUtf8(benchmark::State& s) {
    static const std::string in = converted(65001, 932, japaneseText());
    convertLoop(s, 932, 65001, in);
}

}  // namespace

BENCHMARK(BM_Utf8ToLatin1);
BENCHMARK(BM_Utf8ToWindows1252);
BENCHMARK(BM_Utf8ToShiftJis);
BENCHMARK(BM_Utf8ToUtf16);
BENCHMARK(BM_Utf8ToUtf16Japanese);
BENCHMARK(BM_Utf16ToUtf8);
BENCHMARK(BM_Latin1ToUtf8);
BENCHMARK(BM_ShiftJisToUtf8);
BENCHMARK_MAIN();
