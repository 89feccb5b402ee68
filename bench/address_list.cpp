#include "SmtpSink.h"
#include "email/Rfc822Address.h"
#include "ostmail/ostmail.h"

#include <benchmark/benchmark.h>

#include <string>

using namespace ostmail;

namespace {

std::string makeList(int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += "\"User " + std::to_string(i) + ", Dept\" <user" + std::to_string(i) + "@example.com>,\r\n\t";
    return s;
}

void BM_ParseAddressList(benchmark::State& state) {
    const std::string text = makeList(static_cast<int>(state.range(0)));
    const bool dedupe = state.range(1) != 0;
    for (auto _ : state) {
        ExtPtrArray out;
        benchmark::DoNotOptimize(Rfc822Address::parseAddressList(text.c_str(), out, dedupe));
        out.removeAllObjects();
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ParseAddressList)->Args({100, 0})->Args({100, 1})->Args({5000, 0})->Args({5000, 1});

void BM_FormatList(benchmark::State& state) {
    const std::string text = makeList(static_cast<int>(state.range(0)));
    ExtPtrArray list;
    Rfc822Address::parseAddressList(text.c_str(), list, false);
    for (auto _ : state) {
        StringBuffer out;
        Rfc822Address::formatList(list, false, out);
        benchmark::DoNotOptimize(out.getSize());
    }
    list.removeAllObjects();
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_FormatList)->Arg(100)->Arg(5000);

// render() of n recipients in To (range 1 = 0) or in Bcc (1): the To header
// must stay linear, within a small factor of the Bcc case.
ostmail::Message manyRecipients(int n, bool bcc) {
    ostmail::Message m;
    m.setFrom("s@example.com");
    for (int i = 0; i < n; ++i) {
        const std::string a = "user" + std::to_string(i) + "@example.com";
        bcc ? m.addBcc(a) : m.addTo(a, "User " + std::to_string(i));
    }
    m.setText("x\n");
    return m;
}

void BM_RenderRecipients(benchmark::State& state) {
    const ostmail::Message m = manyRecipients(static_cast<int>(state.range(0)), state.range(1) != 0);
    for (auto _ : state) benchmark::DoNotOptimize(ostmail::render(m).bytes.size());
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_RenderRecipients)->Args({5000, 0})->Args({10000, 0})->Args({20000, 0})->Args({16000, 0})
    ->Args({16000, 1})->Unit(benchmark::kMillisecond);

// The whole send to a loopback sink, To (range 1 = 0) against Bcc (1).
void BM_SendRecipients(benchmark::State& state) {
    bench::SmtpSink sink;
    const ostmail::Message m = manyRecipients(static_cast<int>(state.range(0)), state.range(1) != 0);
    ostmail::SmtpSettings s;
    s.setHost("127.0.0.1");
    s.setPort(sink.plainPort());
    for (auto _ : state)
        if (!ostmail::send(s, m).ok()) state.SkipWithError("not sent");
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_SendRecipients)->Args({5000, 0})->Args({10000, 0})->Args({20000, 0})->Args({16000, 0})
    ->Args({16000, 1})->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
