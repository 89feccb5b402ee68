// SMTP text handling: dot-stuffing of message bodies and reply-line parsing.
#include "core/StringBuffer.h"
#include "smtp/SmtpProtocol.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

using ostmail::SmtpProtocol;
using ostmail::StringBuffer;

// A body of 76-byte lines; every dotEvery-th line starts with a dot (0: none).
std::string makeBody(size_t bytes, int dotEvery) {
    std::string body;
    body.reserve(bytes + 80);
    for (int i = 0; body.size() < bytes; ++i) {
        std::string line(74, 'a' + i % 26);
        if (dotEvery && i % dotEvery == 0) line[0] = '.';
        body += line + "\r\n";
    }
    return body;
}

void BM_DotStuff(benchmark::State& state) {
    std::string body = makeBody(static_cast<size_t>(state.range(0)), static_cast<int>(state.range(1)));
    for (auto _ : state) {
        state.PauseTiming();
        StringBuffer sb(body.data(), body.size());
        state.ResumeTiming();
        SmtpProtocol::dotStuff(sb);
        benchmark::DoNotOptimize(sb.getString());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(body.size()));
}
BENCHMARK(BM_DotStuff)->Args({1 << 20, 0})->Args({1 << 20, 10})->Args({10 << 20, 0})->Args({10 << 20, 1});

void BM_ReplyLine(benchmark::State& state) {
    StringBuffer line("250-AUTH LOGIN PLAIN CRAM-MD5 NTLM\r\n");
    ostmail::SmtpCapabilities caps;
    for (auto _ : state) {
        int code = SmtpProtocol::replyCode(line);
        bool more = SmtpProtocol::isContinuation(line);
        caps.applyEhloText(line.getString() + 4);
        benchmark::DoNotOptimize(code);
        benchmark::DoNotOptimize(more);
    }
}
BENCHMARK(BM_ReplyLine);

}  // namespace

BENCHMARK_MAIN();
