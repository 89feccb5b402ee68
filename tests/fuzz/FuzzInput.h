#pragma once
// Reads a fuzz input as a few settings bytes followed by text fields, and
// hands it to the target's fuzzTarget.

#include "core/XString.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

namespace ostmail {
namespace fuzz {

// Text for the library's string type; bytes that are not UTF-8 stay as bad input.
inline XString utf8Text(const std::string& s) {
    XString x;
    x.setFromUtf8(s.data(), s.size());
    return x;
}

// A set-up step of the harness itself failed (no socket pair, no thread):
// that says nothing about the code under test, so the run ends with its own
// exit status, past libFuzzer's crash handling, and scripts/fuzz.sh tells it
// apart from a crash.
constexpr int kHarnessFailureExit = 71;
[[noreturn]] inline void harnessFailure(const char* what) {
    fprintf(stderr, "fuzz harness failure: %s: %s\n", what, strerror(errno));
    _exit(kHarnessFailureExit);
}

// Entries of a /proc/self folder: open descriptors or running threads.
inline int procEntries(const char* dir) {
    DIR* d = opendir(dir);
    if (!d) harnessFailure(dir);
    int n = 0;
    while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
    return n - 1;  // the folder's own descriptor while it is read
}

// Descriptors and threads must not grow with the inputs. The count after
// the first thousand inputs (once lazy set-up is done) is the base; every
// ten thousand inputs it is compared, with a little room for a cache that
// fills late, which a per-input leak soon outgrows.
inline void checkResources() {
    static long inputs = 0;
    static int baseFds = 0, baseThreads = 0;
    if (++inputs == 1000) {
        baseFds = procEntries("/proc/self/fd");
        baseThreads = procEntries("/proc/self/task") + 1;
    } else if (inputs % 10000 == 0) {
        int fds = procEntries("/proc/self/fd"), threads = procEntries("/proc/self/task") + 1;
        if (fds > baseFds + 16 || threads > baseThreads + 4) {
            fprintf(stderr, "resource leak: %d descriptors and %d threads after %ld inputs, %d and %d after 1000\n",
                    fds, threads, inputs, baseFds, baseThreads);
            abort();
        }
    }
}

class FuzzInput {
public:
    FuzzInput(const uint8_t* data, size_t n) : m_p(data), m_end(data + n) {}

    // The next byte; 0 once the input is used up.
    uint8_t byte() { return m_p < m_end ? *m_p++ : 0; }

    // Bytes up to the next 0x01 (which is skipped) or the end.
    std::string field() {
        const uint8_t* end = std::find(m_p, m_end, 0x01);
        return std::string(std::exchange(m_p, end + (end < m_end)), end);
    }

    std::string rest() { return std::string(std::exchange(m_p, m_end), m_end); }
    bool empty() const { return m_p >= m_end; }

private:
    const uint8_t* m_p;
    const uint8_t* m_end;
};

}  // namespace fuzz
}  // namespace ostmail

// Each target's body; the entry point hands it the input. The entry point is
// defined here, so only the target's one source file includes this header.
void fuzzTarget(ostmail::fuzz::FuzzInput& in);

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ostmail::fuzz::checkResources();
    ostmail::fuzz::FuzzInput in(data, size);
    fuzzTarget(in);
    return 0;
}
