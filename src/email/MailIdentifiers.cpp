#include "email/MailIdentifiers.h"

#include "email/VelmoraRand.h"
#include "email/VelmoraUuid.h"
#include "platform/Clock.h"
#include "platform/SysInfo.h"

#include <string>

namespace ostmail {

namespace {

bool g_messageIdSeeded = false;  // process-wide, unlocked like the generator
bool g_hostOverridden = false;
std::string g_hostOverride;

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
    if (!g_messageIdSeeded) {
        g_messageIdSeeded = true;
        VelmoraRand::reseed(platform::tickCount());
    }
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
    const std::string host = g_hostOverridden ? g_hostOverride : platform::computerName();
    out.append(host.empty() ? "unknown" : host.c_str());
}

void MailIdentifiers::setHostNameOverride(const char* name) {
    g_hostOverridden = name != nullptr;
    g_hostOverride = name ? name : "";
}

}  // namespace ostmail
