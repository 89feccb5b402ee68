#include "email/Rfc822Address.h"

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

}  // namespace

BENCHMARK_MAIN();
