// Eight mail jobs at once against peers that drop the connection after a
// given number of received bytes, for a count inside every phase of the
// session: each job must end with the right result, promptly, and never
// report a message sent that the peer did not accept.
#include "ostmail/CMailObj.h"
#include "support/ScratchDir.h"
#include "support/ScriptedSmtpServer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace ostmail {
namespace {

using testsupport::ScriptedSmtpServer;

const int kThreads = 8;

void aim(CMailObj& m, uint16_t port, const std::string& attachment) {
    m.SetServer(L"127.0.0.1");
    m.SetPortNum(port);
    m.SetUserName(L"user");
    m.SetPasswd(L"secret");
    m.SetSenderAddr(L"job@example.test");
    m.SetRecipAddr(L"inbox@example.test");
    m.SetSubject(L"under load");
    m.SetBody(L"body line\r\n");
    m.SetAttachment(std::wstring(attachment.begin(), attachment.end()));
    m.SetRetryVal(0);
}

// The client's side of one clean session, as the peer received it.
std::string cleanStream(const std::string& attachment) {
    ScriptedSmtpServer srv;
    srv.offerAuth(true);
    srv.reply("220 scripted").serveRest();
    srv.start();
    CMailObj m;
    aim(m, srv.port(), attachment);
    EXPECT_EQ(m.DoMail(), 0);
    EXPECT_TRUE(srv.waitDone());
    std::string stream;
    for (const std::string& line : srv.lines()) {
        stream += line + "\r\n";
        if (line == "DATA" && !srv.dataBlocks().empty()) stream += srv.dataBlocks()[0] + ".\r\n";
    }
    return stream;
}

TEST(FaultsUnderLoad, DropAfterNBytesInEveryPhase) {
    testsupport::ScratchDir dir;
    const std::string attachment = dir.write("data.bin", std::string(20000, '\x7f'));
    const std::string stream = cleanStream(attachment);
    ASSERT_NE(stream.find("AUTH PLAIN"), std::string::npos) << stream;
    const size_t data = stream.find("DATA\r\n") + 6;
    const size_t end = stream.rfind("\r\n.\r\n") + 2;
    struct Phase {
        const char* name;
        long dropAfter;  // -1: a greeting cut short instead
        bool sent;
    };
    const Phase phases[] = {
        {"greeting", -1, false},
        {"EHLO", 0, false},
        {"mid EHLO", 3, false},
        {"AUTH", static_cast<long>(stream.find("AUTH")) + 4, false},
        {"MAIL", static_cast<long>(stream.find("MAIL FROM")) + 6, false},
        {"RCPT", static_cast<long>(stream.find("RCPT TO")) + 6, false},
        {"DATA", static_cast<long>(data) - 3, false},
        {"message", static_cast<long>(data + (end - data) / 2), false},
        {"terminator", static_cast<long>(end) + 1, false},
        {"whole terminator, no reply", static_cast<long>(end) + 3, false},
        {"QUIT", static_cast<long>(stream.find("QUIT", end)) + 2, true},
    };
    for (const Phase& ph : phases) {
        SCOPED_TRACE(ph.name);
        std::vector<std::unique_ptr<ScriptedSmtpServer>> servers;
        for (int t = 0; t < kThreads; ++t) {
            servers.push_back(std::make_unique<ScriptedSmtpServer>());
            ScriptedSmtpServer& s = *servers.back();
            if (ph.dropAfter < 0) {
                s.send("220-scripted\r\n220 scr").closeNow();
            } else {
                s.offerAuth(true);
                s.dropAfterReceived(ph.dropAfter);
                s.reply("220 scripted").serveRest();
            }
            s.start();
        }
        std::vector<int> results(kThreads, 99);
        const auto start = std::chrono::steady_clock::now();
        std::vector<std::thread> pool;
        for (int t = 0; t < kThreads; ++t)
            pool.emplace_back([&, t] {
                CMailObj m;
                aim(m, servers[t]->port(), attachment);
                results[t] = m.DoMail();
            });
        for (auto& th : pool) th.join();
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
        for (int t = 0; t < kThreads; ++t) {
            EXPECT_TRUE(servers[t]->waitDone(5000));
            EXPECT_EQ(results[t], ph.sent ? 0 : -1) << servers[t]->transcript();
            EXPECT_EQ(servers[t]->accepted(), ph.sent ? 1 : 0) << servers[t]->transcript();
        }
    }
}

}  // namespace
}  // namespace ostmail
