#pragma once
#include "platform/Socket.h"

#include <string>

namespace ostmail {

// How a server name reads once IPv6 is allowed: an address literal
// ("::1", "[::1]", "[IPv6:::1]", "[127.0.0.1]", RFC 5321 section 4.1.3),
// a name to look up, or neither.
struct ServerAddress {
    enum Kind { kName, kLiteral, kBad };

    // host is trimmed. reason says, for kBad, what is wrong with it.
    static Kind classify(const char* host, platform::SocketAddress& literal, std::string& reason);
};

}  // namespace ostmail
