#include "email/MailIdentifiers.h"

#include "email/VelmoraRand.h"
#include "email/VelmoraUuid.h"
#include "platform/Clock.h"
#include "platform/CriticalSection.h"
#include "platform/SysInfo.h"

#include <mutex>
#include <string>

namespace ostmail {

namespace {

// The first Message-ID of the process reseeds the generator exactly once,
// also when several threads make their first one at the same time.
std::once_flag g_messageIdSeeded;
platform::CriticalSection g_hostLock;  // guards the override, set by tests at any time
bool g_hostOverridden = false;
std::string g_hostOverride;

std::string hostName() {
    {
        std::lock_guard<platform::CriticalSection> guard(g_hostLock);
        if (g_hostOverridden) return g_hostOverride;
    }
    return platform::computerName();
}

void appendIdentifier(const char* prefix, StringBuffer& out) {
    out.clear();
    out.append(prefix);
    VelmoraUuid::generate(out);
    out.appendChar('@');
    MailIdentifiers::hostNameOrUnknown(out);
    out.appendChar('>');
}

}  // namespace

void MailIdentifiers::newMessageId(StringBuffer& out) {
    std::call_once(g_messageIdSeeded, [] { VelmoraRand::reseed(platform::tickCount()); });
    appendIdentifier("<VELMORA-MID-", out);
}

void MailIdentifiers::newBoundary(StringBuffer& out) {
    StringBuffer u;
    VelmoraUuid::generate(u);
    const char* s = u.getString();
    out.clear();
    out.append("-----_velmora_");
    out.appendN(s, 3);
    out.appendChar('_');
    out.appendN(s + 3, 4);
    out.appendChar('_');
    out.appendN(s + 9, 4);
    out.appendN(s + 14, 4);
    out.appendChar('.');
    out.appendN(s + 24, 8);
}

void MailIdentifiers::newContentId(StringBuffer& out) { appendIdentifier("<VELMORA-CID-", out); }

void MailIdentifiers::hostNameOrUnknown(StringBuffer& out) {
    const std::string host = hostName();
    out.append(host.empty() ? "unknown" : host.c_str());
}

void MailIdentifiers::setHostNameOverride(const char* name) {
    std::lock_guard<platform::CriticalSection> guard(g_hostLock);
    g_hostOverridden = name != nullptr;
    g_hostOverride = name ? name : "";
}

}  // namespace ostmail
