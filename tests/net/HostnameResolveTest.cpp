#include "net/HostnameResolve.h"
#include "platform/Clock.h"
#include "platform/Socket.h"
#include "NetPeers.h"

#include <mutex>

using namespace ostmail;
using namespace ostmail::nettest;

namespace {

// A name service of our own: answers "mail.test" and anything in
// g_answerFor with 127.0.0.1 after g_delayMs, and records what was asked.
std::mutex g_mu;
std::vector<std::string> g_asked;
std::string g_answerFor;
std::atomic<uint32_t> g_delayMs{0};

bool fakeLookup(const char* name, uint32_t* addr) {
    platform::sleepMs(g_delayMs.load());
    std::lock_guard<std::mutex> lock(g_mu);
    g_asked.push_back(name);
    if (std::string(name) != "mail.test" && name != g_answerFor) return false;
    *addr = platform::inetAddr("127.0.0.1");
    return true;
}

class HostnameResolveTest : public ::testing::Test {
protected:
    void SetUp() override {
        HostnameResolve::setLookupFunction(fakeLookup);
        takeAsked();
        g_delayMs = 0;
    }
    void TearDown() override {
        // Given-up workers must finish on their own and free their object.
        for (int i = 0; i < 300 && HostnameResolve::runningWorkers() > 0; ++i) platform::sleepMs(10);
        EXPECT_EQ(HostnameResolve::runningWorkers(), 0);
        HostnameResolve::setLookupFunction(nullptr);
    }
    // The names asked since the last call; from now on answerFor is found too.
    std::vector<std::string> takeAsked(const std::string& answerFor = "") {
        std::lock_guard<std::mutex> lock(g_mu);
        g_answerFor = answerFor;
        return std::exchange(g_asked, {});
    }
};

// With a monitor, the scheme, port and path go before the first attempt. A
// name that fails is tried again cleaned (lower case, without the characters
// a pasted address brings), then with "www." before it; two dots and nothing
// to clean: one attempt only; no name before the cleaning: only the cleaned
// one. With a monitor and without.
TEST_F(HostnameResolveTest, NamesAreCleanedAndRetriedWithWww) {
    const struct { const char *name, *answerFor; std::vector<std::string> asked; const char* logged = ""; } cases[] = {
        {" https://Mail.Example.com:465/path ", "Mail.Example.com", {"Mail.Example.com"}},
        {"http://h/x:1", "h", {"h"}},
        {" 'Us@R'?<b>:\t\"x/\r\n\xC4", "usrbx\xE4", {"'Us@R'?<b>", "usrbx\xE4"}},
        {"Ex<am>ple.COM", "", {"Ex<am>ple.COM", "example.com", "www.example.com"}},
        {"example.com", "www.example.com", {"example.com", "www.example.com"}},
        {"a.b.c", "", {"a.b.c"}},
        {"http:///", "", {"http"}, "Invalid hostname for resolving hostname to IP address."},
    };
    for (const auto& k : cases) {
        takeAsked(k.answerFor);
        Monitor sink;
        Logger log;
        HostnameResolve::Result r;
        bool found = *k.answerFor, monitored = found || *k.logged;
        EXPECT_EQ(HostnameResolve::resolve(k.name, 2000, monitored ? 50 : 0, monitored ? &sink.pm : nullptr, r, log),
                  found);
        EXPECT_EQ(takeAsked(), k.asked);
        EXPECT_FALSE(r.aborted || r.timedOut);
        if (found) { EXPECT_STREQ(r.dotted.getString(), "127.0.0.1"); }
        EXPECT_EQ(lacks(logText(log), {k.logged}), "");
    }
}

// A lookup that hangs: the connect gives up at its timeout (reason 3, the
// retry with "www." finding no time left) or on the application's abort
// (reason 4) without waiting for the worker.
TEST_F(HostnameResolveTest, SlowLookupIsGivenUpOn) {
    g_delayMs = 1500;
    Dial timedOut, aborted;
    uint32_t start = platform::tickCount();
    EXPECT_FALSE(timedOut.run("mail.test", 25, 200));
    EXPECT_LT(platform::tickCount() - start, 1000u);
    EXPECT_EQ(timedOut.reason, 3u);
    EXPECT_EQ(timedOut.lacks({"DNS timed out.", "Cannot get host by name.."}), "");
    EXPECT_GE(HostnameResolve::runningWorkers(), 1);

    Monitor sink(2);
    start = platform::tickCount();
    EXPECT_FALSE(aborted.run("mail.test", 25, 5000, nullptr, 50, &sink.pm));
    EXPECT_LT(platform::tickCount() - start, 1000u);
    EXPECT_EQ(aborted.reason, 4u);
    EXPECT_TRUE(aborted.aborted);
    EXPECT_EQ(aborted.lacks({"DNS lookup aborted by application callback", "Cannot get host by name."}), "");
}

// Through a connect and on its own: local names and dotted addresses,
// padded or not, are not looked up, other names are, and a failure says so.
TEST_F(HostnameResolveTest, LookupsThroughConnectAndStandAlone) {
    for (const char* host : {"localhost", "LocalHost", "127.0.0.1", "  127.0.0.1\t", " localhost ", " mail.test "}) {
        SCOPED_TRACE(host);
        testsupport::ScriptedSmtpServer srv;
        srv.reply("220 hi").start();
        Dial d;
        ASSERT_TRUE(d.run(host, srv.port())) << d.text();
        EXPECT_EQ(d.reason, 0u);
        EXPECT_STREQ(d.sock.plainSocket().remoteAddress().getString(), "127.0.0.1");
        EXPECT_EQ(d.sock.hostname().getSize(), 9u) << "stored untrimmed";  // every name here has 9 letters
        EXPECT_EQ(d.line(), "220 hi\r\n");
    }
    Dial nowhere;
    EXPECT_FALSE(nowhere.run("nowhere.test", 25));
    EXPECT_EQ(nowhere.reason, 2u);
    EXPECT_EQ(nowhere.lacks({"Cannot get host by name.."}), "");
    EXPECT_EQ(takeAsked(), (std::vector<std::string>{"mail.test", "nowhere.test", "www.nowhere.test"}));

    StringBuffer dotted;
    Logger log;
    const std::pair<const char*, bool> lookups[] = {
        {nullptr, false}, {" \t", false}, {"10.1.2.3", false}, {" LOCALHOST ", true}, {"a.b.c", false},
        {"mail.test", true}};
    for (auto [name, found] : lookups) {
        dotted.clear();
        EXPECT_EQ(HostnameResolve::dnsLookup(name, 1000, 0, nullptr, dotted, log), found)
            << (name ? name : "null");
        if (found) { EXPECT_STREQ(dotted.getString(), "127.0.0.1"); }
    }
    EXPECT_EQ(takeAsked(), (std::vector<std::string>{"a.b.c", "mail.test"}));
    EXPECT_EQ(lacks(logText(log), {"DNS lookup failed; hostname is NULL", "DNS lookup failed; hostname is empty",
                                   "IP address passed to DNS lookup", "DNS lookup failed."}),
              "");
}

}  // namespace
