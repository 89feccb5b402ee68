// Loopback throughput of the connection object: a large DATA send to a peer
// that drains as fast as it can, and reply-line reading of a long burst of
// short lines (the line reader's leftover path).
#include "core/LogBase.h"
#include "core/StringBuffer.h"
#include "net/Socket2.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <string>
#include <thread>

using namespace ostmail;

namespace {

constexpr size_t kSendSize = 25u << 20;
constexpr int kLines = 100000;
const char kReply[] = "250-SIZE 52428800 PIPELINING 8BITMIME\r\n";

// Connects s to a loopback peer that runs fn; join the thread after closing s.
template <class Fn>
std::thread withPeer(Socket2& s, Fn fn) {
    int lfd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(lfd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    ::listen(lfd, 1);
    socklen_t len = sizeof sa;
    ::getsockname(lfd, reinterpret_cast<sockaddr*>(&sa), &len);
    std::thread peer([lfd, fn] {
        int fd = ::accept(lfd, nullptr, nullptr);
        ::close(lfd);
        fn(fd);
        ::close(fd);
    });
    LogNull log;
    bool aborted = false;
    uint32_t reason = 0;
    s.Connect("127.0.0.1", ntohs(sa.sin_port), false, 0, 5000, nullptr, aborted, reason, log, nullptr);
    return peer;
}

}  // namespace

static void BM_SendBytes2Loopback(benchmark::State& state) {
    std::string data(kSendSize, 'x');
    for (auto _ : state) {
        Socket2 s;
        std::thread peer = withPeer(s, [](int fd) {
            char buf[65536];
            while (::recv(fd, buf, sizeof buf, 0) > 0) {}
        });
        LogNull log;
        bool ok = s.SendBytes2(reinterpret_cast<const unsigned char*>(data.data()), kSendSize, 65536, 0, 10000, log,
                               nullptr);
        s.Close(0, 1000, log, nullptr);
        peer.join();
        if (!ok) state.SkipWithError("send failed");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kSendSize);
}
BENCHMARK(BM_SendBytes2Loopback)->Unit(benchmark::kMillisecond)->UseRealTime();

static void BM_ReceiveUntilMatchLines(benchmark::State& state) {
    std::string burst;
    for (int i = 0; i < kLines; ++i) burst += kReply;
    for (auto _ : state) {
        Socket2 s;
        std::thread peer = withPeer(s, [&burst](int fd) {
            for (size_t off = 0; off < burst.size();) {
                ssize_t n = ::send(fd, burst.data() + off, burst.size() - off, MSG_NOSIGNAL);
                if (n <= 0) break;
                off += static_cast<size_t>(n);
            }
        });
        LogNull log;
        StringBuffer line;
        SocketFlags flags;
        for (int i = 0; i < kLines; ++i)
            if (!s.ReceiveUntilMatch("\r\n", line, 0, 10000, flags, log, nullptr)) {
                state.SkipWithError("read failed");
                break;
            }
        s.Close(0, 1000, log, nullptr);
        peer.join();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kLines);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(burst.size()));
}
BENCHMARK(BM_ReceiveUntilMatchLines)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_MAIN();
