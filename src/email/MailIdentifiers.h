#pragma once
#include "core/StringBuffer.h"

namespace ostmail {

// Message-ID, boundary and Content-ID values. These only produce text: the
// e-mail object sets its "Message-ID" / "Content-ID" fields and stores the
// Content-ID itself.
class MailIdentifiers {
public:
    // "<VELMORA-MID-" uuid "@" host ">"; the first call in the process
    // reseeds the random source with the tick count. Replaces out.
    static void newMessageId(StringBuffer& out);
    // 40 characters: "-----_velmora_" and pieces of a new UUID. The caller
    // appends "_.MIX", "_.ALT" or "_.REL". Replaces out.
    static void newBoundary(StringBuffer& out);
    // "<VELMORA-CID-" uuid "@" host ">". Replaces out.
    static void newContentId(StringBuffer& out);

    // Local host name, or "unknown". Appends.
    static void hostNameOrUnknown(StringBuffer& out);
    // Test seam: host name used instead of the system's (null restores it).
    static void setHostNameOverride(const char* name);
};

}  // namespace ostmail
