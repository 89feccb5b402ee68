// DNS answers to an MX query, through the system's resolver and our reading
// of its records: a DNS server on loopback (one port for the whole run)
// answers each query with the query's own id and question, and the header
// flags, section counts and records from the input.
#include "FuzzInput.h"
#include "core/LogBase.h"
#include "net/Mx.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <system_error>
#include <thread>

using namespace ostmail;

namespace {

struct DnsServer {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    uint16_t port = 0;
    DnsServer() {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof sa;
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&sa), len) != 0 ||
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0)
            fuzz::harnessFailure("DNS server socket");
        port = ntohs(sa.sin_port);
    }
    // A query left from an input whose answer was not waited for.
    void drain() {
        char buf[512];
        while (::recv(fd, buf, sizeof buf, MSG_DONTWAIT) > 0) {
        }
    }
    void answerOne(const std::string& flagsAndCounts, const std::string& records) {
        unsigned char q[512];
        sockaddr_in from{};
        socklen_t fromLen = sizeof from;
        pollfd p{fd, POLLIN, 0};
        ssize_t n = ::poll(&p, 1, 5000) == 1 ? ::recvfrom(fd, q, sizeof q, 0, reinterpret_cast<sockaddr*>(&from), &fromLen) : -1;
        if (n < 12) return;
        size_t end = 12;  // past the question's name, its type and class
        while (end < static_cast<size_t>(n) && q[end]) end += q[end] + 1u;
        end = std::min(end + 5, static_cast<size_t>(n));
        std::string reply(reinterpret_cast<char*>(q), 2);
        reply += flagsAndCounts.substr(0, 2) + std::string("\0\1", 2) + flagsAndCounts.substr(2);
        reply += std::string(reinterpret_cast<char*>(q) + 12, end - 12) + records;
        ::sendto(fd, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), fromLen);
    }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // One try and a short wait, so an answer the resolver drops costs little.
    setenv("RES_OPTIONS", "timeout:1 attempts:1", 1);
    return 0;
}

void fuzzTarget(fuzz::FuzzInput& in) {
    static DnsServer server;
    uint8_t how = in.byte();
    std::string head;
    for (int i = 0; i < 8; ++i) head += static_cast<char>(in.byte());
    std::string records = in.rest();
    server.drain();
    std::thread answer;
    try {
        answer = std::thread([&] { server.answerOne(head, records); });
    } catch (const std::system_error&) {
        fuzz::harnessFailure("thread");
    }
    LogNull log;
    Mx mx;
    mx.setDnsServer("127.0.0.1", server.port, log);
    StringBuffer domain("example.test"), best;
    ExtPtrArray all;
    if (how & 1) mx.allExchanges("user@example.test", domain, all, log);
    else mx.bestExchange("user@example.test", domain, best, log);
    all.removeAllObjects();
    answer.join();
}
