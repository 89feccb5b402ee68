#include "email/VelmoraRand.h"

#include "platform/Clock.h"
#include "platform/CriticalSection.h"
#include "platform/SysInfo.h"

#include <atomic>
#include <mutex>

namespace ostmail {

namespace {

const int kWords = 250;

// Process-wide; every access holds g_lock.
struct R250State {
    uint32_t words[kWords];
    int j = 0;
    int k = 103;
    bool initialised = false;
};
platform::CriticalSection g_lock;
R250State g_state;
uint32_t g_crt = 1;
std::atomic<bool> g_systemSource{true};
std::atomic<uint32_t (*)()> g_tick{nullptr};

using Lock = std::lock_guard<platform::CriticalSection>;

uint32_t tickNow() {
    uint32_t (*tick)() = g_tick.load();
    return tick ? tick() : platform::tickCount();
}

int crtNext() {
    g_crt = g_crt * 214013u + 2531011u;
    return static_cast<int>((g_crt >> 16) & 0x7FFF);
}

void fillFromCrt() {
    g_crt = tickNow();
    for (int i = kWords - 1; i >= 0; --i) {
        const uint32_t r2 = static_cast<uint32_t>(crtNext());
        const uint32_t r1 = static_cast<uint32_t>(crtNext());
        const uint32_t r3 = static_cast<uint32_t>(crtNext());
        g_state.words[i] = ((r2 + (r1 << 15)) << 2) + (r3 & 3);
    }
}

void initialise() {
    g_state.j = 0;
    g_state.k = 103;
    if (!g_systemSource || !platform::systemRandom(g_state.words, sizeof(g_state.words))) fillFromCrt();
    // Force a triangular set of bits so the 32 words used as a basis are
    // linearly independent; otherwise the register could start degenerate.
    for (int i = 0; i < 32; ++i) {
        const int idx = 3 + 7 * i;
        g_state.words[idx] = (g_state.words[idx] & (0xFFFFFFFFu >> i)) | (0x80000000u >> i);
    }
    g_state.initialised = true;
}

uint32_t drawLocked() {
    if (!g_state.initialised) initialise();
    uint32_t& w = g_state.words[g_state.j];
    w ^= g_state.words[g_state.k];
    const uint32_t result = w;
    g_state.j = g_state.j == kWords - 1 ? 0 : g_state.j + 1;
    g_state.k = g_state.k == kWords - 1 ? 0 : g_state.k + 1;
    return result;
}

}  // namespace

uint32_t VelmoraRand::nextWord() {
    Lock lock(g_lock);
    return drawLocked();
}

void VelmoraRand::nextWords(uint32_t* out, int n) {
    Lock lock(g_lock);
    for (int i = 0; i < n; ++i) out[i] = drawLocked();
}

void VelmoraRand::reseed(uint32_t seed) {
    Lock lock(g_lock);
    g_crt = seed;
    initialise();
}

void VelmoraRand::setSystemSourceEnabled(bool on) { g_systemSource = on; }
void VelmoraRand::setTickSource(uint32_t (*tick)()) { g_tick = tick; }

void VelmoraRand::crtSeed(uint32_t seed) {
    Lock lock(g_lock);
    g_crt = seed;
}

int VelmoraRand::crtRand() {
    Lock lock(g_lock);
    return crtNext();
}

}  // namespace ostmail
