#pragma once
#include "core/StringBuffer.h"
#include "platform/Socket.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

namespace ostmail {

class LogBase;
class ProgressMonitor;

// Host-name to IPv4 lookup that the caller can give up on. A worker thread
// does the blocking lookup on an object it shares with the caller; when the
// caller stops waiting (time-out, abort) the worker finishes on its own and
// the last owner frees the object.
class HostnameResolve {
public:
    // The outcome of a lookup sequence.
    struct Result {
        StringBuffer dotted;   // empty on failure
        uint32_t addr = 0;     // network order
        bool aborted = false;
        bool timedOut = false;
        // Both families, when asked for; dotted/addr then name the first.
        std::vector<platform::SocketAddress> all;
    };

    // The whole sequence: the name as given, then a cleaned copy, then
    // "www." in front of a cleaned name with one dot. timeoutMs 0 = none.
    // allFamilies: every IPv4 and IPv6 address goes to out.all.
    static bool resolve(const char* hostname, uint32_t timeoutMs, uint32_t heartbeatMs, ProgressMonitor* pm,
                        Result& out, LogBase& log, bool allFamilies = false);

    // The stand-alone lookup: refuses NULL, empty and dotted input, answers
    // "localhost" itself, and logs "DNS lookup failed." otherwise.
    static bool dnsLookup(const char* hostname, uint32_t timeoutMs, uint32_t heartbeatMs, ProgressMonitor* pm,
                          StringBuffer& dotted, LogBase& log, bool* aborted = nullptr, bool* timedOut = nullptr);

    // The cleaned copy of a name tried when the name as given fails.
    static void cleanName(const char* hostname, StringBuffer& out);
    // Scheme, path and port stripped, white space trimmed.
    static void normalizeName(const char* hostname, StringBuffer& out);

    // The function that does the blocking lookup; replaceable so that slow
    // or failing name services can be had on demand. Null restores the
    // system's.
    using LookupFn = bool (*)(const char* hostname, uint32_t* addrNetOrder);
    static void setLookupFunction(LookupFn fn);

    // Worker threads still running (given-up lookups included).
    static int runningWorkers();

private:
    HostnameResolve() = default;
    static bool attempt(const char* hostname, uint32_t timeoutMs, uint32_t heartbeatMs, ProgressMonitor* pm,
                        Result& out, LogBase& log, bool allFamilies);
    static bool attemptDirect(const char* hostname, Result& out, bool allFamilies);
    static bool lookupInto(const char* hostname, bool allFamilies, StringBuffer& dotted, uint32_t& addr,
                           std::vector<platform::SocketAddress>& all);
    static void work(std::shared_ptr<HostnameResolve> self);

    StringBuffer m_hostname;
    uint32_t m_timeoutMs = 0;
    StringBuffer m_dotted;
    uint32_t m_addr = 0;
    bool m_allFamilies = false;
    std::vector<platform::SocketAddress> m_all;
    std::atomic<bool> m_running{false};
};

}  // namespace ostmail
