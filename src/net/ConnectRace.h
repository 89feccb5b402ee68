#pragma once
#include "platform/Socket.h"

#include <cstdint>
#include <vector>

namespace ostmail {

class LogBase;
class ProgressMonitor;

// Happy Eyeballs (RFC 8305): connects to the first address, starts the next
// one (the other family first) when the previous has not answered within
// 250 ms or has failed, and keeps the first connect that succeeds; the
// others are closed. The whole race stays inside the time-out.
class ConnectRace {
public:
    static constexpr uint32_t kNextAttemptDelayMs = 250;

    struct Outcome {
        platform::SocketHandle handle = platform::kInvalidSocket;  // blocking, owned by the caller
        platform::SocketAddress winner;
        int lastError = 0;  // of the last attempt that failed
        bool timedOut = false;
        bool aborted = false;
        bool noSocket = false;  // not one socket could be created
    };

    // Families alternate, the first address's family first (RFC 8305 section 4).
    static std::vector<platform::SocketAddress> interleave(const std::vector<platform::SocketAddress>& addrs);

    // timeoutMs 0 waits without a limit. With a monitor and a heartbeat the
    // waits are cut into heartbeat slices and the application may abort.
    // False leaves no socket open.
    static bool run(const std::vector<platform::SocketAddress>& addrs, uint16_t port, uint32_t timeoutMs,
                    uint32_t heartbeatMs, ProgressMonitor* pm, Outcome& out);
};

}  // namespace ostmail
