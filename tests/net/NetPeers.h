#pragma once
// Loopback peers and progress sinks for the socket tests.

#include "core/ProgressMonitor.h"
#include "integration/SocketSession.h"
#include "support/ClosedPort.h"
#include "support/ScriptedSmtpServer.h"
#include "support/TestTls.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <thread>

namespace ostmail::nettest {

namespace sock = testsupport::sock;
using testsupport::lacks;

inline std::string logText(LogBase& log) {
    StringBuffer sb;
    log.GetText(sb);
    return sb.toStdString();
}

inline std::string str(const DataBuffer& d) {
    return std::string(reinterpret_cast<const char*>(d.getData()), d.getSize());
}

// n bytes of every value, not in counting order.
inline std::string pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7919u) >> 3);
    return s;
}

// A listener that never accepts, with its queue filled, so that a further
// connect hangs in SYN-SENT without the traffic ever leaving loopback.
struct FilledBacklog {
    uint16_t port = 0;
    int listenFd = sock::listenLoopback(port);
    bool full = false;
    std::vector<int> fillers;

    FilledBacklog() {
        ::listen(listenFd, 0);
        for (int i = 0; i < 64 && !full; ++i) {
            int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            sockaddr_in sa{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
            ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
            pollfd p{fd, POLLOUT, 0};
            full = ::poll(&p, 1, 300) == 0;
            fillers.push_back(fd);
        }
    }
    ~FilledBacklog() {
        for (int fd : fillers) ::close(fd);
        ::close(listenFd);
    }
};

// Up to n bytes; fewer when the peer closes or stays silent for 10 s.
inline std::string receiveUpTo(int fd, size_t n) {
    std::string out;
    char buf[512];
    for (ssize_t got = 1; out.size() < n && got > 0 && sock::pollIn(fd, 10000) == 1;)
        if ((got = ::recv(fd, buf, std::min(sizeof buf, n - out.size()), 0)) > 0) out.append(buf, got);
    return out;
}

// Listens on loopback and runs the script on the first connection (if one
// comes within 10 s) on its own thread; the destructor waits for the script.
class PeerThread {
public:
    explicit PeerThread(std::function<void(int fd)> script)
        : listenFd_(sock::listenLoopback(port_)) {
        thread_ = std::thread([this, script] {
            int fd = sock::pollIn(listenFd_, 10000) == 1 ? ::accept(listenFd_, nullptr, nullptr) : -1;
            if (fd < 0) return;
            script(fd);
            ::close(fd);
        });
    }
    ~PeerThread() {
        thread_.join();
        ::close(listenFd_);
    }
    uint16_t port() const { return port_; }

private:
    uint16_t port_ = 0;
    int listenFd_;
    std::thread thread_;
};

// A scripted SOCKS proxy for what a real one will not do on demand: odd
// replies, refusals, a close after a few bytes. It reads fixed byte counts
// and records them, so tests can check the requests byte for byte.
class SocksPeer {
public:
    // Reads exactly n bytes and records them as one request.
    SocksPeer& read(size_t n) { return add({n, "", false}); }
    SocksPeer& send(const std::string& bytes) { return add({0, bytes, false}); }
    SocksPeer& close() { return add({0, "", true}); }

    SocksPeer& start() {
        peer_ = std::make_unique<PeerThread>([this](int fd) { run(fd); });
        return *this;
    }
    uint16_t port() const { return peer_->port(); }
    // Waits until the client has closed, then gives what the proxy read.
    const std::vector<std::string>& requests() {
        peer_.reset();
        return requests_;
    }

private:
    struct Step { size_t readCount; std::string bytes; bool close; };
    SocksPeer& add(Step s) {
        steps_.push_back(std::move(s));
        return *this;
    }
    void run(int fd) {
        for (const Step& s : steps_) {
            if (s.close) return (void)::shutdown(fd, SHUT_RDWR);
            if (!s.readCount) ::send(fd, s.bytes.data(), s.bytes.size(), MSG_NOSIGNAL);
            else if (requests_.emplace_back(receiveUpTo(fd, s.readCount)).size() < s.readCount) break;
        }
        receiveUpTo(fd, SIZE_MAX);  // holds the connection until the client closes it
    }

    std::vector<Step> steps_;
    std::vector<std::string> requests_;
    std::unique_ptr<PeerThread> peer_;
};

// The server's side of a TLS connection for a test's script: a memory-BIO
// TLS peer over the accepted socket, the script deciding which bytes go out
// in which write.
class TlsConn {
public:
    TlsConn(int fd, std::shared_ptr<SSL_CTX> ctx) : fd_(fd), peer_(std::move(ctx)) {}

    testsupport::TlsServerPeer& peer() { return peer_; }

    // Receives once (up to 2 s); false when the client closed or went silent.
    bool receive() {
        unsigned char buf[65536];
        ssize_t n = sock::pollIn(fd_, 2000) == 1 ? ::recv(fd_, buf, sizeof buf, 0) : -1;
        if (n > 0) peer_.feed(buf, static_cast<size_t>(n));
        return n > 0;
    }

    // n plain bytes (a proxy request), fewer on a close or a silence.
    std::string receiveRaw(size_t n) { return receiveUpTo(fd_, n); }

    bool sendRaw(const std::vector<unsigned char>& b) {
        return b.empty() || ::send(fd_, b.data(), b.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(b.size());
    }
    bool sendRaw(const std::string& s) { return sendRaw(std::vector<unsigned char>(s.begin(), s.end())); }
    bool flush() { return sendRaw(peer_.takeOutput()); }
    // These bytes in two writes, cut at `at`, 200 ms apart.
    bool sendCut(const std::vector<unsigned char>& b, size_t at) {
        const auto cut = b.begin() + std::min(at, b.size());
        if (!sendRaw(std::vector<unsigned char>(b.begin(), cut))) return false;
        usleep(200000);
        return sendRaw(std::vector<unsigned char>(cut, b.end()));
    }

    // Runs the server side; with firstData, the first application record
    // goes out in the same write as the last handshake message; with
    // cutFirstAt, the server's first flight goes out in two writes.
    bool handshake(const std::string& firstData = "", size_t cutFirstAt = 0) {
        for (size_t cut = cutFirstAt;; cut = 0) {
            if (!receive()) return false;
            int rc = peer_.handshake();
            if (rc < 0) return false;
            if (rc == 1 && !firstData.empty()) peer_.write(firstData);
            if (!(cut ? sendCut(peer_.takeOutput(), cut) : flush())) return false;
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
            if (sock::pollIn(fd_, 100) == 1 && ::recv(fd_, buf, sizeof buf, 0) <= 0) return;
    }

private:
    int fd_;
    testsupport::TlsServerPeer peer_;
};

// Runs the script on the first connection, as the TLS server's side.
struct TlsScriptedServer : PeerThread {
    TlsScriptedServer(std::shared_ptr<SSL_CTX> ctx, std::function<void(TlsConn&)> script)
        : PeerThread([ctx, script](int fd) { TlsConn conn(fd, ctx); script(conn); }) {}
};

// A progress monitor that counts heartbeats and asks to abort from the nth on.
struct Monitor : ProgressEvent {
    explicit Monitor(int abortAtHeartbeat = 0, uint64_t total = 100)
        : abortAt(abortAtHeartbeat), pm(this, total) {}
    void Heartbeat(uint32_t, bool* abort) override {
        ++heartbeats;
        if (abort) *abort = abortAt > 0 && heartbeats >= abortAt;
    }

    int abortAt, heartbeats = 0;
    ProgressMonitor pm;
};

// One connect attempt through Socket2 and what it logged.
struct Dial : itest::SocketSession {
    bool run(const char* host, int port, uint32_t timeoutMs = 3000, ClsSocksClient* socks = nullptr,
             uint32_t heartbeatMs = 0, ProgressMonitor* pm = nullptr, bool tls = false) {
        return sock.Connect(host, port, tls, heartbeatMs, timeoutMs, socks, aborted, reason, log, pm);
    }
    // The next line the connection delivers; *ok tells whether a whole one came.
    std::string line(uint32_t idleMs = 3000, bool* ok = nullptr, SocketFlags* flags = nullptr,
                     uint32_t heartbeatMs = 0, ProgressMonitor* pm = nullptr) {
        StringBuffer sb;
        SocketFlags own;
        bool got = sock.ReceiveUntilMatch("\r\n", sb, heartbeatMs, idleMs, flags ? *flags : own, log, pm);
        if (ok) *ok = got;
        return sb.toStdString();
    }
    bool send(const std::string& data, uint32_t maxChunk = 0, uint32_t heartbeatMs = 0, uint32_t idleMs = 3000,
              ProgressMonitor* pm = nullptr) {
        return sock.SendBytes2(reinterpret_cast<const unsigned char*>(data.data()),
                               static_cast<uint32_t>(data.size()), maxChunk, heartbeatMs, idleMs, log, pm);
    }
    std::string text() { return logText(); }
    std::string lacks(const std::vector<std::string>& wanted) { return nettest::lacks(text(), wanted); }
};

}  // namespace ostmail::nettest
