#include "ostmail/CMailObj.h"
#include "support/ScriptedSmtpServer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <string>

namespace ostmail {
namespace {

using testsupport::ScriptedSmtpServer;
using Clock = std::chrono::steady_clock;

void fillJob(CMailObj& m, int port) {
    m.SetServer(L"127.0.0.1");
    m.SetPortNum(port);
    m.SetSenderAddr(L"job@x.test");
    m.SetSender(L"Report Job");
    m.SetSubject(L"nightly");
    m.SetBody(L"all fine\r\n");
    m.SetRecipAddr(L"a@y.test");
}

long msSince(Clock::time_point t0) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
}

// Retry 0 against a server that turns every client away: one attempt, one
// wait. Retry 2, accepted on the second attempt: two attempts, one wait.
// (Longer runs of failures are counted by the mail job's own test.)
TEST(DoMail, RetriesWaitAfterEveryFailureAndStopAtTheFirstSuccess) {
    for (int retries : {0, 2}) {
        SCOPED_TRACE(retries);
        ScriptedSmtpServer srv;
        srv.reply("554 busy");
        if (retries) srv.acceptNext().reply("220 ready").serveRest();
        srv.start();
        CMailObj m;
        fillJob(m, srv.port());
        m.SetRetryVal(retries);
        m.SetTimeoutInt(1);
        auto t0 = Clock::now();
        EXPECT_EQ(m.DoMail(), retries ? 0 : -1);
        long ms = msSince(t0);
        EXPECT_GE(ms, 1000);
        EXPECT_LT(ms, 2000) << "only one wait";
        EXPECT_TRUE(srv.waitDone()) << srv.transcript();
        EXPECT_EQ(srv.connections(), retries ? 2 : 1);
        EXPECT_EQ(srv.dataBlocks().size(), retries ? 1u : 0u);
    }
}

TEST(DoMail, UnusableServersFailWithoutHanging) {
    int closed = ScriptedSmtpServer().port();  // bound, then released: nothing listens there
    struct Case {
        const wchar_t* host;
        int port;
    } cases[] = {{L"", 25}, {L"no-such-host.invalid", 25}, {L"127.0.0.1", closed},
                 {L"127.0.0.1", 0}, {L"127.0.0.1", 70000}, {L"127.0.0.1", -1}};
    for (const Case& c : cases) {
        CMailObj m;
        fillJob(m, c.port);
        m.SetServer(c.host);
        auto t0 = Clock::now();
        EXPECT_EQ(m.DoMail(), -1) << c.port;
        EXPECT_LT(msSince(t0), 20000) << c.port;
    }
}

// Empty entries and missing attachments are left out, CR and LF never
// reach the stream, and a recipient list of only separators leaves nothing
// to send to.
TEST(DoMail, BadEntriesAreLeftOutAndNeverInjectCommands) {
    std::string real = ::testing::TempDir() + "/ostmail_attach.txt";
    std::ofstream(real, std::ios::binary) << "attached bytes\n";
    for (bool anyone : {true, false}) {
        ScriptedSmtpServer srv;
        srv.reply("220 ready").serveRest();
        srv.start();
        CMailObj m;
        fillJob(m, srv.port());
        m.SetRecipAddr(anyone ? L";a@y.test\r\nRSET;;b@y.test\nMAIL FROM:<evil@x.test>;" : L";;;");
        m.SetRecipCC(anyone ? L";;; ;c@y.test" : L"");
        m.SetAttachment(L"/nonexistent/missing.pdf;" + std::wstring(real.begin(), real.end()));
        EXPECT_EQ(m.DoMail(), anyone ? 0 : -1);
        EXPECT_TRUE(srv.waitDone()) << srv.transcript();

        std::vector<std::string> lines = srv.lines();
        auto count = [&](const std::string& prefix) {
            return std::count_if(lines.begin(), lines.end(),
                                 [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
        };
        EXPECT_LE(count("MAIL FROM:"), 1) << srv.transcript();
        EXPECT_EQ(count("RSET") + count("MAIL FROM:<evil"), 0) << srv.transcript();
        EXPECT_EQ(count("RCPT TO:<c@y.test>"), anyone ? 1 : 0) << srv.transcript();
        EXPECT_EQ(count("RCPT") > 0, anyone) << srv.transcript();
        for (const std::string& l : lines) EXPECT_EQ(l.find('\r'), std::string::npos) << l;
        ASSERT_EQ(srv.dataBlocks().size(), anyone ? 1u : 0u);
        if (anyone) {
            EXPECT_NE(srv.dataBlocks()[0].find("ostmail_attach.txt"), std::string::npos);
            EXPECT_EQ(srv.dataBlocks()[0].find("missing.pdf"), std::string::npos);
        }
    }
    std::remove(real.c_str());
}

}  // namespace
}  // namespace ostmail
