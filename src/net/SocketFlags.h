#pragma once

namespace ostmail {

// What ended a read or a wait, so that the session can tell a time-out or an
// abort from a broken connection. Operations only ever set flags; the caller
// clears them before an operation when it wants them fresh.
struct SocketFlags {
    bool timedOut = false;
    bool aborted = false;
    bool socketError = false;
    bool closedByPeer = false;

    void clear() { *this = SocketFlags(); }
    bool any() const { return timedOut || aborted || socketError || closedByPeer; }
};

}  // namespace ostmail
