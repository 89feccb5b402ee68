#pragma once
#include "core/StringBuffer.h"

#include <vector>

namespace ostmail {

// The rules behind the session's secure defaults, free of any connection.
struct SmtpSecurity {
    // The error of a login refused for want of verified TLS.
    static const char kClearTextRefusal[];

    // Whether an EHLO reply (every line, CRLF-separated) lists STARTTLS.
    static bool offersStartTls(const StringBuffer& ehloReply);
    // Mechanisms whose messages carry the password or token itself, readable
    // by anyone on the path without TLS: LOGIN, PLAIN, XOAUTH2, OAUTHBEARER.
    // CRAM-MD5 and NTLM send a digest and stay allowed.
    static bool carriesSecret(const char* mechanism);
    // A pinned key as curl takes it: the base64 of a SHA-256, optionally
    // after "sha256//". False, out cleared, for anything else.
    static bool decodePin(const char* text, std::vector<unsigned char>& out);
};

}  // namespace ostmail
