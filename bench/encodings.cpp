// Throughput of the body encoders, with coreutils' base64 on the same input
// as a yardstick. Rates are per CPU second: ours from the benchmark's CPU
// clock, coreutils' from the child's user + system time (start-up included),
// so that other load on the machine does not skew the ratio.
#include "core/ContentCoding.h"
#include "core/DataBuffer.h"
#include "core/StringBuffer.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <sys/resource.h>
#include <string>
#include <unistd.h>

using ostmail::ContentCoding;
using ostmail::DataBuffer;
using ostmail::StringBuffer;

namespace {

constexpr size_t kInputBytes = 16 << 20;

const std::string& binaryInput() {
    static const std::string data = [] {
        std::mt19937_64 rng(76);
        std::string s(kInputBytes, '\0');
        for (size_t i = 0; i + 8 <= s.size(); i += 8) {
            const uint64_t v = rng();
            s.replace(i, 8, reinterpret_cast<const char*>(&v), 8);
        }
        return s;
    }();
    return data;
}

const std::string& base64Text() {
    static const std::string text = [] {
        ContentCoding cc;
        cc.setLineLength(76);
        StringBuffer sb;
        cc.encodeBase64(binaryInput().data(), binaryInput().size(), sb);
        return std::string(sb.getString(), sb.getSize());
    }();
    return text;
}

// English prose in lines of about 70 characters.
const std::string& englishText() {
    static const std::string text = [] {
        static const char* words[] = {"the", "of", "and", "to", "in", "a", "is", "that", "for", "it", "as", "was",
                                      "with", "be", "by", "on", "not", "he", "this", "are", "or", "his", "from",
                                      "at", "which", "but", "have", "an", "had", "they", "you", "were", "their",
                                      "one", "all", "we", "can", "her", "has", "there", "been", "if", "more",
                                      "when", "will", "would", "who", "so", "no", "message", "server", "delivery"};
        std::mt19937 rng(1045);
        std::string s;
        size_t line = 0;
        while (s.size() < kInputBytes) {
            const char* w = words[rng() % (sizeof(words) / sizeof(words[0]))];
            s += w;
            line += std::char_traits<char>::length(w) + 1;
            if (rng() % 12 == 0) s += rng() % 2 ? "," : ".";
            if (line > 66) {
                s += "\r\n";
                line = 0;
            } else {
                s += ' ';
            }
        }
        return s;
    }();
    return text;
}

void BM_Base64EncodeLines(benchmark::State& state) {
    const std::string& in = binaryInput();
    ContentCoding cc;
    StringBuffer out;
    for (auto _ : state) {
        out.clear();
        cc.encodeBase64(in.data(), in.size(), out);
        benchmark::DoNotOptimize(out.getString());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(in.size()));
}
BENCHMARK(BM_Base64EncodeLines)->Unit(benchmark::kMillisecond);

// Bytes counted are the encoded text read.
void BM_Base64Decode(benchmark::State& state) {
    const std::string& text = base64Text();
    DataBuffer out;
    for (auto _ : state) {
        out.clear();
        ContentCoding::decodeBase64(text.data(), text.size(), out);
        benchmark::DoNotOptimize(out.getData());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}
BENCHMARK(BM_Base64Decode)->Unit(benchmark::kMillisecond);

void BM_QuotedPrintableEncodeEnglish(benchmark::State& state) {
    const std::string& in = englishText();
    ContentCoding cc;
    StringBuffer out;
    for (auto _ : state) {
        out.clear();
        cc.encodeQuotedPrintable(in.data(), in.size(), out);
        benchmark::DoNotOptimize(out.getString());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(in.size()));
}
BENCHMARK(BM_QuotedPrintableEncodeEnglish)->Unit(benchmark::kMillisecond);

double childCpuSeconds() {
    rusage ru{};
    getrusage(RUSAGE_CHILDREN, &ru);
    return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) + 1e-6 * double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec);
}

// coreutils "base64 -w 76" over the same bytes, from a temporary file.
void BM_CoreutilsBase64Reference(benchmark::State& state) {
    char path[] = "/tmp/ostmail_bench_b64XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0 || write(fd, binaryInput().data(), binaryInput().size()) != ssize_t(binaryInput().size())) {
        state.SkipWithError("cannot write the input file");
        return;
    }
    close(fd);
    const std::string cmd = std::string("base64 -w 76 ") + path + " > /dev/null";
    for (auto _ : state) {
        const double t0 = childCpuSeconds();
        if (std::system(cmd.c_str()) != 0) {
            state.SkipWithError("base64 failed");
            break;
        }
        state.SetIterationTime(childCpuSeconds() - t0);
    }
    unlink(path);
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kInputBytes));
}
BENCHMARK(BM_CoreutilsBase64Reference)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
