#pragma once
// A TLS server on loopback that runs a test's script on its own thread:
// the script gets the accepted connection and a memory-BIO TLS peer, and
// decides which bytes go out in which write.

#include "NetPeers.h"
#include "support/TestTls.h"

#include <string>
#include <vector>

namespace ostmail {
namespace nettest {

class TlsConn {
public:
    TlsConn(int fd, std::shared_ptr<SSL_CTX> ctx) : fd_(fd), peer_(std::move(ctx)) {}

    testsupport::TlsServerPeer& peer() { return peer_; }

    // Receives once (up to 2 s); false when the client closed or went silent.
    bool receive() {
        unsigned char buf[65536];
        ssize_t n = readable(2000) ? ::recv(fd_, buf, sizeof buf, 0) : -1;
        if (n > 0) peer_.feed(buf, static_cast<size_t>(n));
        return n > 0;
    }

    // Plain bytes up to and including end (a proxy request); "" on failure.
    std::string receiveRawUntil(const std::string& end) {
        std::string got;
        char ch;
        while (got.size() < end.size() || got.compare(got.size() - end.size(), end.size(), end) != 0) {
            if (!readable(2000) || ::recv(fd_, &ch, 1, 0) != 1) return "";
            got += ch;
        }
        return got;
    }

    bool sendRaw(const std::vector<unsigned char>& b) {
        return b.empty() || ::send(fd_, b.data(), b.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(b.size());
    }
    bool sendRaw(const std::string& s) { return sendRaw(std::vector<unsigned char>(s.begin(), s.end())); }
    bool flush() { return sendRaw(peer_.takeOutput()); }

    // Runs the server side; with firstData, the first application record
    // goes out in the same write as the last handshake message.
    bool handshake(const std::string& firstData = "") {
        for (;;) {
            if (!receive()) return false;
            int rc = peer_.handshake();
            if (rc < 0) return false;
            if (rc == 1 && !firstData.empty()) peer_.write(firstData);
            if (!flush()) return false;
            if (rc == 1) return true;
        }
    }

    // Plaintext records until at least n bytes have come.
    std::vector<std::string> readRecords(size_t n) {
        std::vector<std::string> records;
        for (size_t got = 0; got < n;) {
            for (auto& r : peer_.readRecords()) {
                got += r.size();
                records.push_back(r);
            }
            if (got < n && !receive()) break;
        }
        return records;
    }

    // Waits until the client closes (or 5 s pass).
    void waitForClose() {
        unsigned char buf[4096];
        for (int i = 0; i < 50; ++i)
            if (readable(100) && ::recv(fd_, buf, sizeof buf, 0) <= 0) return;
    }

private:
    bool readable(int ms) {
        pollfd p{fd_, POLLIN, 0};
        return ::poll(&p, 1, ms) == 1;
    }

    int fd_;
    testsupport::TlsServerPeer peer_;
};

// Runs the script on the first connection, as the TLS server's side.
class TlsScriptedServer : public PeerThread {
public:
    using Script = std::function<void(TlsConn&)>;
    TlsScriptedServer(std::shared_ptr<SSL_CTX> ctx, Script script)
        : PeerThread([ctx, script](int fd) {
              TlsConn conn(fd, ctx);
              script(conn);
          }) {}
};

}  // namespace nettest
}  // namespace ostmail
