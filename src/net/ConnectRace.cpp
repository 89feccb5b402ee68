#include "net/ConnectRace.h"

#include "core/ProgressMonitor.h"
#include "platform/Clock.h"

#include <algorithm>

namespace ostmail {

namespace {

constexpr uint32_t kMinSliceMs = 50;

struct Attempt {
    platform::SocketHandle handle;
    platform::SocketAddress addr;
};

void closeAll(std::vector<Attempt>& pending) {
    for (Attempt& a : pending) platform::socketClose(a.handle);
    pending.clear();
}

// Starts one attempt; false when it failed at once (lastError set).
bool start(const platform::SocketAddress& addr, uint16_t port, std::vector<Attempt>& pending,
           ConnectRace::Outcome& out, bool& anySocket) {
    platform::SocketHandle s = platform::kInvalidSocket;
    int err = platform::socketCreateFor(addr.family, &s);
    if (err == 0) anySocket = true;
    if (err == 0) err = platform::socketSetNonBlocking(s, true);
    if (err == 0) err = platform::socketConnectTo(s, addr, port);
    if (err == 0 || err == platform::kWsaWouldBlock) {
        pending.push_back(Attempt{s, addr});
        return true;
    }
    if (s != platform::kInvalidSocket) platform::socketClose(s);
    out.lastError = err;
    return false;
}

bool win(std::vector<Attempt>& pending, size_t i, ConnectRace::Outcome& out) {
    out.handle = pending[i].handle;
    out.winner = pending[i].addr;
    pending.erase(pending.begin() + static_cast<long>(i));
    closeAll(pending);
    platform::socketSetNonBlocking(out.handle, false);
    return true;
}

}  // namespace

std::vector<platform::SocketAddress> ConnectRace::interleave(const std::vector<platform::SocketAddress>& addrs) {
    std::vector<platform::SocketAddress> first, other, out;
    if (addrs.empty()) return out;
    for (const platform::SocketAddress& a : addrs) (a.family == addrs[0].family ? first : other).push_back(a);
    for (size_t i = 0; i < std::max(first.size(), other.size()); ++i) {
        if (i < first.size()) out.push_back(first[i]);
        if (i < other.size()) out.push_back(other[i]);
    }
    return out;
}

bool ConnectRace::run(const std::vector<platform::SocketAddress>& addrs, uint16_t port, uint32_t timeoutMs,
                      uint32_t heartbeatMs, ProgressMonitor* pm, Outcome& out) {
    out = Outcome{};
    std::vector<platform::SocketAddress> order = interleave(addrs);
    std::vector<Attempt> pending;
    bool anySocket = false;
    size_t next = 0;
    uint32_t begin = platform::tickCount(), lastStart = begin, lastBeat = begin;
    uint32_t slice = pm && heartbeatMs ? std::max(heartbeatMs, kMinSliceMs) : kNextAttemptDelayMs;
    for (;;) {
        uint32_t now = platform::tickCount();
        bool due = pending.empty() || now - lastStart >= kNextAttemptDelayMs;
        if (next < order.size() && due) {
            lastStart = now;
            if (!start(order[next++], port, pending, out, anySocket)) lastStart = now - kNextAttemptDelayMs;
            continue;
        }
        if (pending.empty()) {
            out.noSocket = !anySocket;
            return false;
        }
        uint32_t spent = now - begin;
        if (timeoutMs && spent >= timeoutMs) {
            out.timedOut = true;
            closeAll(pending);
            return false;
        }
        uint32_t wait = slice;
        if (next < order.size()) wait = std::min(wait, kNextAttemptDelayMs - (now - lastStart));
        if (timeoutMs) wait = std::min(wait, timeoutMs - spent);
        std::vector<platform::SocketHandle> handles;
        for (const Attempt& a : pending) handles.push_back(a.handle);
        size_t ready = 0;
        int err = 0;
        int r = platform::socketWaitAnyWritable(handles.data(), handles.size(), wait, &ready, &err);
        if (r < 0) {
            out.lastError = err;
            closeAll(pending);
            return false;
        }
        if (r > 0) {
            int result = platform::socketPendingError(pending[ready].handle);
            if (result == 0) return win(pending, ready, out);
            out.lastError = result;
            platform::socketClose(pending[ready].handle);
            pending.erase(pending.begin() + static_cast<long>(ready));
            lastStart = now - kNextAttemptDelayMs;  // a failure starts the next at once
            continue;
        }
        now = platform::tickCount();
        if (pm && heartbeatMs && now - lastBeat >= heartbeatMs) {
            lastBeat = now;
            if (pm->heartbeatCheck(heartbeatMs)) {
                out.aborted = true;
                closeAll(pending);
                return false;
            }
        }
    }
}

}  // namespace ostmail
