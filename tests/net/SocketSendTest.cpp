#include "core/ProgressMonitor.h"
#include "NetPeers.h"

#include <gtest/gtest.h>

#include <string>

namespace ostmail {
namespace {

using nettest::lacks;
using nettest::logText;

void connectTo(Socket2& s, uint16_t port) {
    Logger log;
    bool aborted = false;
    uint32_t reason = 0;
    ASSERT_TRUE(s.Connect("127.0.0.1", port, false, 0, 2000, nullptr, aborted, reason, log, nullptr));
}

bool sendAll(Socket2& s, const std::string& data, uint32_t maxChunk, uint32_t heartbeatMs, uint32_t idleMs,
             LogBase& log, ProgressMonitor* pm) {
    return s.SendBytes2(reinterpret_cast<const unsigned char*>(data.data()), static_cast<uint32_t>(data.size()),
                        maxChunk, heartbeatMs, idleMs, log, pm);
}

std::string pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7919u) >> 3);
    return s;
}

// Several MB against a reader that drains slowly: the sender has to wait
// for room again and again, and every byte arrives in order.
TEST(SocketSend, LargeSendToSlowReaderCompletes) {
    nettest::SlowReader reader(2, 16384);
    Socket2 s;
    connectTo(s, reader.port());
    s.plainSocket().setRateMonitoring(true);
    s.plainSocket().setSendBufferSize(65536);
    const std::string data = pattern(6 * 1024 * 1024 + 123);
    nettest::CountingSink sink;
    ProgressMonitor pm(&sink, data.size());
    Logger log;
    ASSERT_TRUE(sendAll(s, data, 0, 100, 10000, log, &pm)) << logText(log);
    EXPECT_EQ(pm.done(), data.size());
    EXPECT_EQ(s.plainSocket().sendRate().byteCount(), data.size());
    s.Close(0, 1000, log, nullptr);
    ASSERT_TRUE(reader.waitEnd(20000));
    EXPECT_TRUE(reader.received() == data) << "received " << reader.received().size() << " bytes";
    EXPECT_GE(sink.uploadReports, 1);
    EXPECT_LE(sink.lastUploadCount, data.size());
}

// A reader that never reads: the send waits for room until the idle
// time-out, or until the application aborts.
TEST(SocketSend, StalledReaderTimesOutOrAborts) {
    uint16_t port = 0;
    int listenFd = nettest::listenLoopback(1, &port);
    const std::string data = pattern(64 * 1024 * 1024);
    for (bool abort : {false, true}) {
        Socket2 s;
        connectTo(s, port);
        int peer = ::accept(listenFd, nullptr, nullptr);
        nettest::CountingSink sink(abort ? 2 : 0);
        ProgressMonitor pm(&sink, data.size());
        Logger log;
        EXPECT_FALSE(sendAll(s, data, 65536, 50, abort ? 10000 : 300, log, &pm));
        if (abort) { EXPECT_EQ(sink.heartbeats, 2); }
        EXPECT_EQ(lacks(logText(log), abort ? std::vector<std::string>{"aborted by application"}
                                            : std::vector<std::string>{"Socket send idle timeout", "idleTimeoutMs"}),
                  "");
        EXPECT_LT(pm.done(), data.size());
        ::close(peer);
    }
    ::close(listenFd);
}

TEST(SocketSend, SendToResetPeerFailsAndCloses) {
    uint16_t port = 0;
    int listenFd = nettest::listenLoopback(1, &port);
    Socket2 s;
    connectTo(s, port);
    int peer = ::accept(listenFd, nullptr, nullptr);
    linger lg{1, 0};
    ::setsockopt(peer, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    ::close(peer);  // RST
    ::usleep(50000);
    const std::string data = pattern(100000);
    Logger log;
    bool ok = true;
    for (int i = 0; i < 5 && ok; ++i) ok = sendAll(s, data, 0, 0, 1000, log, nullptr);
    EXPECT_FALSE(ok);
    EXPECT_FALSE(s.IsConnected());
    // Without a connection there is nothing to send on.
    EXPECT_FALSE(sendAll(s, "x", 0, 0, 1000, log, nullptr));
    EXPECT_EQ(lacks(logText(log), {"Error sending on socket", "WSAECONNRESET", "No socket exists for sending (2)"}), "");
    ::close(listenFd);
}

}  // namespace
}  // namespace ostmail
