#pragma once
#include <cstddef>
#include <string>

namespace ostmail {

class StringBuffer;

// The two SASL mechanisms that carry an OAuth 2.0 access token: Google's
// XOAUTH2 and RFC 7628 OAUTHBEARER. Message in, bytes out, no socket.
class OAuthBearer {
public:
    // What a refusing server sends back (RFC 7628 3.2.2), decoded.
    struct ServerError {
        std::string status, schemes, scope;
    };

    // False for an empty token or one holding CR, LF or 0x01: each would end
    // a field of the message early and let the token add fields of its own.
    static bool tokenUsable(const char* token);

    // "user=" U 0x01 "auth=Bearer " T 0x01 0x01, before base64.
    static void xoauth2Message(const char* user, const char* token, StringBuffer& out);

    // RFC 7628 3.1: GS2 header "n,a=U," (',' and '=' in U as "=2C" and "=3D",
    // RFC 5801), then 0x01 "host=" H 0x01 "port=" P 0x01 "auth=Bearer " T
    // 0x01 0x01, before base64.
    static void oauthBearerMessage(const char* user, const char* host, int port, const char* token,
                                   StringBuffer& out);

    // The answer to a refusal: the mechanism's dummy response, as sent.
    static const char* refusalAnswer(bool oauthBearer) { return oauthBearer ? "AQ==\r\n" : "\r\n"; }

    // The "status", "schemes" and "scope" members of a JSON object (strings
    // as their text, other values as written). False, out unchanged, when
    // the text is not one JSON object.
    static bool parseServerError(const char* text, size_t n, ServerError& out);
};

}  // namespace ostmail
