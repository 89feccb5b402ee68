#include "net/ServerAddress.h"

#include <cstring>

namespace ostmail {

namespace {

bool onlyDigitsAndDots(const std::string& s) {
    return !s.empty() && s.find_first_not_of("0123456789.") == std::string::npos;
}

ServerAddress::Kind bracketed(const std::string& host, platform::SocketAddress& literal, std::string& reason) {
    if (host.back() != ']') {
        reason = "the address literal has no closing ']'";
        return ServerAddress::kBad;
    }
    std::string inner = host.substr(1, host.size() - 2);
    bool tagged = inner.size() >= 5 && strncasecmp(inner.c_str(), "IPv6:", 5) == 0;
    if (tagged) inner.erase(0, 5);
    if (platform::parseIpv6(inner.c_str(), &literal)) return ServerAddress::kLiteral;
    if (!tagged && platform::parseIpv4(inner.c_str(), &literal)) return ServerAddress::kLiteral;
    reason = tagged ? "not a valid IPv6 address literal" : "not a valid address literal";
    return ServerAddress::kBad;
}

}  // namespace

ServerAddress::Kind ServerAddress::classify(const char* host, platform::SocketAddress& literal, std::string& reason) {
    std::string h = host ? host : "";
    if (h.empty()) {
        reason = "the server name is empty";
        return kBad;
    }
    if (h[0] == '[') return bracketed(h, literal, reason);
    if (h.find(':') != std::string::npos) {
        if (platform::parseIpv6(h.c_str(), &literal)) return kLiteral;
        reason = "not a valid IPv6 address";
        return kBad;
    }
    if (onlyDigitsAndDots(h)) {
        if (platform::parseIpv4(h.c_str(), &literal)) return kLiteral;
        reason = "not a valid IPv4 address";
        return kBad;
    }
    if (h.find_first_of("[]") != std::string::npos) {
        reason = "a bracket outside an address literal";
        return kBad;
    }
    return kName;
}

}  // namespace ostmail
