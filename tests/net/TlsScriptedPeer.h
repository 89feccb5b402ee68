#pragma once
// A TLS server on loopback that runs a test's script on its own thread:
// the script gets the accepted connection and a memory-BIO TLS peer, and
// decides which bytes go out in which write.

#include "NetPeers.h"
#include "support/TestTls.h"

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ostmail {
namespace nettest {

class TlsConn {
public:
    TlsConn(int fd, std::shared_ptr<SSL_CTX> ctx) : fd_(fd), peer_(std::move(ctx)) {}

    testsupport::TlsServerPeer& peer() { return peer_; }

    // Receives once (up to 2 s); false when the client closed or went silent.
    bool receive() {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 2000) != 1) return false;
        unsigned char buf[65536];
        ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n <= 0) return false;
        peer_.feed(buf, static_cast<size_t>(n));
        return true;
    }

    // Plain bytes up to and including end (a proxy request); "" on failure.
    std::string receiveRawUntil(const std::string& end) {
        std::string got;
        char ch;
        while (got.size() < end.size() || got.compare(got.size() - end.size(), end.size(), end) != 0) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 2000) != 1 || ::recv(fd_, &ch, 1, 0) != 1) return "";
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
            if (rc == 1) {
                if (!firstData.empty()) peer_.write(firstData);
                return flush();
            }
            if (!flush()) return false;
        }
    }

    // Plaintext records until at least n bytes have come.
    std::vector<std::string> readRecords(size_t n) {
        std::vector<std::string> records;
        size_t got = 0;
        while (got < n) {
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
        for (int i = 0; i < 50; ++i) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 100) == 1) {
                unsigned char buf[4096];
                if (::recv(fd_, buf, sizeof buf, 0) <= 0) return;
            }
        }
    }

private:
    int fd_;
    testsupport::TlsServerPeer peer_;
};

class TlsScriptedServer {
public:
    using Script = std::function<void(TlsConn&)>;

    TlsScriptedServer(std::shared_ptr<SSL_CTX> ctx, Script script) : ctx_(std::move(ctx)), script_(std::move(script)) {
        listenFd_ = listenLoopback(4, &port_);
        thread_ = std::thread([this] { run(); });
    }
    ~TlsScriptedServer() {
        thread_.join();
        if (listenFd_ >= 0) ::close(listenFd_);
    }

    uint16_t port() const { return port_; }

private:
    void run() {
        pollfd p{listenFd_, POLLIN, 0};
        if (::poll(&p, 1, 10000) != 1) return;
        int fd = ::accept(listenFd_, nullptr, nullptr);
        if (fd < 0) return;
        {
            TlsConn conn(fd, ctx_);
            script_(conn);
        }
        ::close(fd);
    }

    std::shared_ptr<SSL_CTX> ctx_;
    Script script_;
    int listenFd_ = -1;
    uint16_t port_ = 0;
    std::thread thread_;
};

}  // namespace nettest
}  // namespace ostmail
