#pragma once
#include <cstdint>

namespace ostmail {

// The process-wide R250 shift-register generator (Kirkpatrick and Stoll).
// Seeded from the system random source, or from a tick-count-seeded C-style
// generator when that source is unavailable. One lock guards the state, so
// threads share one sequence and never draw the same word twice.
class VelmoraRand {
public:
    static uint32_t nextWord();
    // Draws n successive words in one hold of the lock, so an identifier is
    // made of words that follow each other in the sequence.
    static void nextWords(uint32_t* out, int n);
    // Seeds the C-style generator with seed and initialises the state again.
    static void reseed(uint32_t seed);

    // Test seams: switch the system source off, and replace the tick count
    // used for the fallback seed (null restores the real clock).
    static void setSystemSourceEnabled(bool on);
    static void setTickSource(uint32_t (*tick)());

    // The C-style generator (15-bit values, the classic LCG), kept here so the
    // fallback sequence is the same on every platform.
    static void crtSeed(uint32_t seed);
    static int crtRand();
};

}  // namespace ostmail
