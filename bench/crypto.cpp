#include "crypto/Hmac.h"
#include "crypto/Md4.h"
#include "crypto/Md5.h"
#include "crypto/VelmoraDes.h"

#include <benchmark/benchmark.h>

#include <algorithm>

#include <vector>

using namespace ostmail;

namespace {

std::vector<unsigned char> filler(size_t n)
{
    std::vector<unsigned char> v(n);
    uint32_t x = 12345;
    for (auto& b : v) {
        x = x * 1103515245u + 12345u;
        b = static_cast<unsigned char>(x >> 16);
    }
    return v;
}

void BM_Md5(benchmark::State& state)
{
    const auto data = filler(static_cast<size_t>(state.range(0)));
    unsigned char d[16];
    for (auto _ : state) {
        Md5::digest(data.data(), data.size(), d);
        benchmark::DoNotOptimize(d);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Md5)->Arg(64)->Arg(4096)->Arg(1 << 20)->Arg(16 << 20);

// Attachments are hashed through the stream path in 20000-byte reads.
void BM_Md5Stream(benchmark::State& state)
{
    const auto data = filler(static_cast<size_t>(state.range(0)));
    unsigned char d[16];
    for (auto _ : state) {
        size_t pos = 0;
        Md5::digestStream(
            [&](unsigned char* buf, size_t cap, size_t& got) {
                got = std::min(cap, data.size() - pos);
                std::copy_n(data.data() + pos, got, buf);
                pos += got;
                return true;
            },
            d);
        benchmark::DoNotOptimize(d);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Md5Stream)->Arg(16 << 20);

void BM_Md4(benchmark::State& state)
{
    const auto data = filler(static_cast<size_t>(state.range(0)));
    unsigned char d[16];
    for (auto _ : state) {
        Md4::digest(data.data(), data.size(), d);
        benchmark::DoNotOptimize(d);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Md4)->Arg(1 << 20);

// One CRAM-MD5 response worth of work.
void BM_HmacMd5Short(benchmark::State& state)
{
    const auto key = filler(16);
    const auto msg = filler(48);
    unsigned char d[16];
    for (auto _ : state) {
        Hmac::md5(msg.data(), msg.size(), key.data(), key.size(), d);
        benchmark::DoNotOptimize(d);
    }
}
BENCHMARK(BM_HmacMd5Short);

// One NTLM DES step: key set-up plus one block.
void BM_DesKeyAndBlock(benchmark::State& state)
{
    const auto key = filler(8);
    const auto block = filler(8);
    std::vector<unsigned char> out;
    for (auto _ : state) {
        VelmoraDes des;
        des.setPadding(VelmoraDes::kPadZeros);
        des.setKey(key.data(), key.size(), 56);
        des.encrypt(block.data(), block.size(), out);
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_DesKeyAndBlock);

}  // namespace

BENCHMARK_MAIN();
