#pragma once
// Loopback peers and progress sinks for the socket tests.

#include "core/Logger.h"
#include "core/ProgressEvent.h"
#include "core/ProgressMonitor.h"
#include "core/StringBuffer.h"
#include "net/Socket2.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace ostmail {
namespace nettest {

inline std::string logText(LogBase& log) {
    StringBuffer sb;
    log.GetText(sb);
    return sb.toStdString();
}

inline std::string str(const DataBuffer& d) {
    return std::string(reinterpret_cast<const char*>(d.getData()), d.getSize());
}

inline bool contains(const std::string& hay, const std::string& needle) {
    return hay.find(needle) != std::string::npos;
}

// The wanted pieces the text lacks, with the text after them; "" when none.
inline std::string lacks(const std::string& text, const std::vector<std::string>& wanted) {
    std::string out;
    for (const auto& w : wanted)
        if (!contains(text, w)) out += "missing: " + w + "\n";
    return out.empty() ? out : out + "in:\n" + text;
}

inline int listenLoopback(int backlog, uint16_t* port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd, backlog) != 0) {
        if (fd >= 0) ::close(fd);
        return -1;
    }
    socklen_t len = sizeof sa;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    *port = ntohs(sa.sin_port);
    return fd;
}

// A listener that never accepts, with its queue filled, so that a further
// connect hangs in SYN-SENT without the traffic ever leaving loopback.
class FilledBacklog {
public:
    FilledBacklog() {
        listenFd_ = listenLoopback(0, &port_);
        for (int i = 0; i < 64 && !full_; ++i) {
            int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            sockaddr_in sa{AF_INET, htons(port_), {htonl(INADDR_LOOPBACK)}, {}};
            ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
            pollfd p{fd, POLLOUT, 0};
            full_ = ::poll(&p, 1, 300) == 0;
            fillers_.push_back(fd);
        }
    }
    ~FilledBacklog() {
        for (int fd : fillers_) ::close(fd);
        if (listenFd_ >= 0) ::close(listenFd_);
    }
    bool full() const { return full_; }
    uint16_t port() const { return port_; }

private:
    int listenFd_ = -1;
    uint16_t port_ = 0;
    bool full_ = false;
    std::vector<int> fillers_;
};

// Up to n bytes; fewer when the peer closes or stays silent for 10 s.
inline std::string receiveUpTo(int fd, size_t n) {
    std::string out;
    char buf[512];
    pollfd p{fd, POLLIN, 0};
    for (ssize_t got = 1; out.size() < n && got > 0 && ::poll(&p, 1, 10000) == 1;)
        if ((got = ::recv(fd, buf, std::min(sizeof buf, n - out.size()), 0)) > 0) out.append(buf, static_cast<size_t>(got));
    return out;
}

// Listens on loopback and runs the script on the first connection (if one
// comes within 10 s) on its own thread; the destructor waits for the script.
class PeerThread {
public:
    explicit PeerThread(std::function<void(int fd)> script) {
        listenFd_ = listenLoopback(4, &port_);
        thread_ = std::thread([this, script] {
            pollfd p{listenFd_, POLLIN, 0};
            int fd = ::poll(&p, 1, 10000) == 1 ? ::accept(listenFd_, nullptr, nullptr) : -1;
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
    int listenFd_ = -1;
    uint16_t port_ = 0;
    std::thread thread_;
};

// Counts the events it gets and asks to abort from the nth heartbeat on.
class CountingSink : public ProgressEvent {
public:
    explicit CountingSink(int abortAtHeartbeat = 0) : abortAt_(abortAtHeartbeat) {}
    void Heartbeat(uint32_t, bool* abort) override {
        ++heartbeats;
        if (abort) *abort = abortAt_ > 0 && heartbeats >= abortAt_;
    }
    void UploadRate(uint64_t count, uint32_t rate) override {
        ++uploadReports;
        lastUploadCount = count;
        lastUploadRate = rate;
    }
    void DownloadRate(uint64_t, uint32_t) override { ++downloadReports; }
    void TransferRate(uint64_t, uint32_t) override { ++transferReports; }

    int heartbeats = 0, uploadReports = 0, downloadReports = 0, transferReports = 0;
    uint64_t lastUploadCount = 0;
    uint32_t lastUploadRate = 0;

private:
    int abortAt_;
};

// A progress monitor over a counting sink.
struct Monitor : CountingSink {
    explicit Monitor(int abortAtHeartbeat = 0, uint64_t total = 100) : CountingSink(abortAtHeartbeat), pm(this, total) {}
    ProgressMonitor pm;
};

// One connect attempt through Socket2 and what it logged.
struct Dial {
    Socket2 sock;
    Logger log;
    bool aborted = false;
    uint32_t reason = 99;

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
        return sock.SendBytes2(reinterpret_cast<const unsigned char*>(data.data()), static_cast<uint32_t>(data.size()),
                               maxChunk, heartbeatMs, idleMs, log, pm);
    }
    std::string text() { return logText(log); }
    std::string lacks(const std::vector<std::string>& wanted) { return nettest::lacks(text(), wanted); }
};

}  // namespace nettest
}  // namespace ostmail
