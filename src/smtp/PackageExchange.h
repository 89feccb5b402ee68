#pragma once

namespace ostmail {

class DataBuffer;
class LogBase;

// The callbacks a security-package handshake uses to move its tokens over
// the session that runs it. Both block until the server's reply is in.
class PackageExchange {
public:
    virtual ~PackageExchange() = default;
    // Sends one token and returns the server's next one in received.
    virtual bool exchangePackage(const DataBuffer& toSend, DataBuffer& received, LogBase& log) = 0;
    // Sends the last token; true when the server accepted the login.
    virtual bool sendFinal(const DataBuffer& toSend, LogBase& log) = 0;
};

}  // namespace ostmail
