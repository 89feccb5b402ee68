#include "net/HostnameResolve.h"

#include "core/LogBase.h"
#include "core/ProgressMonitor.h"
#include "net/SocketErrors.h"
#include "platform/Clock.h"
#include "platform/Socket.h"

#include <cstring>
#include <exception>
#include <new>
#include <thread>

namespace ostmail {

namespace {

constexpr uint32_t kPollMs = 10;

std::atomic<HostnameResolve::LookupFn> g_lookupFn{nullptr};
std::atomic<int> g_runningWorkers{0};

bool lookupName(const char* hostname, uint32_t* addr) {
    HostnameResolve::LookupFn fn = g_lookupFn.load();
    return fn ? fn(hostname, addr) : platform::resolveIpv4(hostname, addr);
}

void storeAddress(uint32_t addr, StringBuffer& dotted, uint32_t& addrOut) {
    addrOut = addr;
    dotted.setString(platform::dottedAddress(addr).c_str());
}

// Time left of a lookup's budget; false when a budget was set and is spent.
bool timeLeft(uint32_t timeoutMs, uint32_t startTick, uint32_t& left) {
    if (!timeoutMs) {
        left = 0;
        return true;
    }
    uint32_t spent = platform::tickCount() - startTick;
    if (spent >= timeoutMs) return false;
    left = timeoutMs - spent;
    return true;
}

}  // namespace

void HostnameResolve::setLookupFunction(LookupFn fn) { g_lookupFn.store(fn); }

int HostnameResolve::runningWorkers() { return g_runningWorkers.load(); }

void HostnameResolve::normalizeName(const char* hostname, StringBuffer& out) {
    out.setString(hostname ? hostname : "");
    if (!out.replaceFirstOccurrence("http://", "")) out.replaceFirstOccurrence("https://", "");
    out.truncateAtChar('/');
    out.truncateAtChar(':');
    out.trimWhitespace();
}

void HostnameResolve::cleanName(const char* hostname, StringBuffer& out) {
    static const char kDropped[] = " \t\r\n'\"<>:/@?";
    out.clear();
    for (const char* p = hostname ? hostname : ""; *p; ++p)
        if (!std::strchr(kDropped, *p)) out.appendChar(*p);
    out.toLowerCase();
}

// A replaced lookup function answers for IPv4 alone, in both modes.
bool HostnameResolve::lookupInto(const char* hostname, bool allFamilies, StringBuffer& dotted, uint32_t& addrOut,
                                 std::vector<platform::SocketAddress>& all) {
    all.clear();
    uint32_t addr = 0;
    if (!allFamilies || g_lookupFn.load()) {
        if (!lookupName(hostname, &addr)) return false;
        storeAddress(addr, dotted, addrOut);
        platform::SocketAddress a;
        a.family = 4;
        std::memcpy(a.bytes, &addr, 4);
        all.push_back(a);
        return true;
    }
    if (!platform::resolveAll(hostname, &all)) return false;
    if (all[0].family == 4) std::memcpy(&addr, all[0].bytes, 4);
    addrOut = addr;
    dotted.setString(platform::addressText(all[0]).c_str());
    return true;
}

void HostnameResolve::work(std::shared_ptr<HostnameResolve> self) {
    {
        std::shared_ptr<HostnameResolve> me = std::move(self);
        lookupInto(me->m_hostname.getString(), me->m_allFamilies, me->m_dotted, me->m_addr, me->m_all);
        me->m_running.store(false, std::memory_order_release);
    }
    g_runningWorkers.fetch_sub(1);
}

bool HostnameResolve::attemptDirect(const char* hostname, Result& out, bool allFamilies) {
    return lookupInto(hostname, allFamilies, out.dotted, out.addr, out.all);
}

bool HostnameResolve::attempt(const char* hostname, uint32_t timeoutMs, uint32_t heartbeatMs, ProgressMonitor* pm,
                              Result& out, LogBase& log, bool allFamilies) {
    out.dotted.clear();
    out.addr = 0;
    out.all.clear();
    if (!heartbeatMs || !pm) return attemptDirect(hostname, out, allFamilies);

    std::shared_ptr<HostnameResolve> job(new (std::nothrow) HostnameResolve());
    if (!job) {
        log.LogError("Memory allocation error");
        return false;
    }
    normalizeName(hostname, job->m_hostname);
    if (job->m_hostname.isEmpty()) {
        log.LogError("Invalid hostname for resolving hostname to IP address.");
        log.LogData("hostname", hostname);
        return false;
    }
    job->m_timeoutMs = timeoutMs;
    job->m_allFamilies = allFamilies;
    job->m_running.store(true);
    g_runningWorkers.fetch_add(1);
    try {
        std::thread(&HostnameResolve::work, job).detach();
    } catch (const std::exception&) {
        g_runningWorkers.fetch_sub(1);
        log.LogError("Memory allocation error");
        return false;
    }

    uint32_t start = platform::tickCount(), lastBeat = start;
    while (job->m_running.load(std::memory_order_acquire)) {
        platform::sleepMs(kPollMs);
        uint32_t now = platform::tickCount();
        if (now - lastBeat >= heartbeatMs) {
            lastBeat = now;
            if (pm->heartbeatCheck(heartbeatMs)) {
                log.LogError("DNS lookup aborted by application callback");
                out.aborted = true;
                return false;
            }
        }
        if (timeoutMs && now - start > timeoutMs) {
            out.timedOut = true;  // the worker finishes on its own
            return false;
        }
    }
    if (job->m_dotted.isEmpty()) return false;
    out.dotted.setString(job->m_dotted);
    out.addr = job->m_addr;
    out.all = job->m_all;
    return true;
}

bool HostnameResolve::resolve(const char* hostname, uint32_t timeoutMs, uint32_t heartbeatMs, ProgressMonitor* pm,
                              Result& out, LogBase& log, bool allFamilies) {
    uint32_t start = platform::tickCount();
    if (attempt(hostname, timeoutMs, heartbeatMs, pm, out, log, allFamilies)) return true;
    // A timed-out attempt goes on to the next one, which finds no time left
    // and says so.
    if (out.aborted) return false;

    StringBuffer cleaned;
    cleanName(hostname, cleaned);
    bool changed = cleaned.getSize() != std::strlen(hostname);
    bool oneDot = cleaned.countChar('.') == 1;
    if (!changed && !oneDot) return false;

    uint32_t left = 0;
    if (changed) {
        if (!timeLeft(timeoutMs, start, left)) {
            log.LogError("DNS timed out.");
            out.timedOut = true;
            return false;
        }
        if (attempt(cleaned.getString(), left, heartbeatMs, pm, out, log, allFamilies)) return true;
        if (out.aborted) return false;
    }
    if (!oneDot) return false;
    if (!timeLeft(timeoutMs, start, left)) {
        log.LogError("DNS timed out.");
        out.timedOut = true;
        return false;
    }
    cleaned.prepend("www.");
    return attempt(cleaned.getString(), left, heartbeatMs, pm, out, log, allFamilies);
}

bool HostnameResolve::dnsLookup(const char* hostname, uint32_t timeoutMs, uint32_t heartbeatMs, ProgressMonitor* pm,
                                StringBuffer& dotted, LogBase& log, bool* aborted, bool* timedOut) {
    dotted.clear();
    if (!hostname) {
        log.LogError("DNS lookup failed; hostname is NULL");
        return false;
    }
    StringBuffer name(hostname);
    name.trimWhitespace();
    if (name.isEmpty()) {
        log.LogError("DNS lookup failed; hostname is empty");
        return false;
    }
    if (name.equalsIgnoreCase("localhost")) {
        dotted.setString("127.0.0.1");
        return true;
    }
    if (platform::inetAddr(name.getString()) != platform::kInaddrNone) {
        log.LogError("IP address passed to DNS lookup");
        return false;
    }
    socketStartupIfDue(log);
    Result r;
    bool ok = resolve(name.getString(), timeoutMs, heartbeatMs, pm, r, log);
    if (aborted) *aborted = r.aborted;
    if (timedOut) *timedOut = r.timedOut;
    if (!ok) {
        log.LogError("DNS lookup failed.");
        log.LogData("hostname", name.getString());
        return false;
    }
    dotted.setString(r.dotted);
    return true;
}

}  // namespace ostmail
