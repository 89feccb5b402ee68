#include "ostmail/CMailObj.h"
#include "support/ScriptedSmtpServer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <string>
#include <unistd.h>

namespace ostmail {
namespace {

using testsupport::ScriptedSmtpServer;
using Clock = std::chrono::steady_clock;

std::wstring wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }

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

TEST(DoMail, RetriesWaitAfterEveryFailureAndStopAtTheFirstSuccess) {
    // Retry 0 against a server that turns every client away: one attempt, one
    // wait. (Longer runs of failures are counted by the mail job's own test.)
    {
        ScriptedSmtpServer srv;
        srv.reply("554 go away");
        srv.start();
        CMailObj m;
        fillJob(m, srv.port());
        m.SetTimeoutInt(1);
        auto t0 = Clock::now();
        EXPECT_EQ(m.DoMail(), -1);
        EXPECT_GE(msSince(t0), 1000);
        EXPECT_TRUE(srv.waitDone());
        EXPECT_EQ(srv.connections(), 1);
    }
    // Retry 2, accepted on the second attempt: two attempts, one wait.
    {
        ScriptedSmtpServer srv;
        srv.reply("554 busy").acceptNext().reply("220 ready").serveRest();
        srv.start();
        CMailObj m;
        fillJob(m, srv.port());
        m.SetRetryVal(2);
        m.SetTimeoutInt(1);
        auto t0 = Clock::now();
        EXPECT_EQ(m.DoMail(), 0);
        long ms = msSince(t0);
        EXPECT_GE(ms, 1000);
        EXPECT_LT(ms, 2000) << "only one wait";
        EXPECT_TRUE(srv.waitDone()) << srv.transcript();
        EXPECT_EQ(srv.connections(), 2);
        EXPECT_EQ(srv.dataBlocks().size(), 1u);
    }
}

TEST(DoMail, UnusableServersFailWithoutHanging) {
    int closed;
    {
        ScriptedSmtpServer gone;  // bound, then released: nothing listens there
        closed = gone.port();
    }
    struct Case {
        const wchar_t* host;
        int port;
    } cases[] = {
        {L"", 25},
        {L"no-such-host.invalid", 25},
        {L"127.0.0.1", closed},
        {L"127.0.0.1", 0},
        {L"127.0.0.1", 70000},
        {L"127.0.0.1", -1},
    };
    for (const Case& c : cases) {
        CMailObj m;
        fillJob(m, c.port);
        m.SetServer(c.host);
        auto t0 = Clock::now();
        EXPECT_EQ(m.DoMail(), -1) << c.port;
        EXPECT_LT(msSince(t0), 20000) << c.port;
    }
}

TEST(DoMail, BadEntriesAreLeftOutAndNeverInjectCommands) {
    std::string real = ::testing::TempDir() + "/ostmail_attach.txt";
    std::ofstream(real, std::ios::binary) << "attached bytes\n";

    ScriptedSmtpServer srv;
    srv.reply("220 ready").serveRest();
    srv.start();
    CMailObj m;
    fillJob(m, srv.port());
    m.SetRecipAddr(L";a@y.test\r\nRSET;;b@y.test\nMAIL FROM:<evil@x.test>;");
    m.SetRecipCC(L";;; ;c@y.test");
    m.SetAttachment(L"/nonexistent/missing.pdf;" + wide(real));
    EXPECT_EQ(m.DoMail(), 0);
    EXPECT_TRUE(srv.waitDone()) << srv.transcript();

    std::vector<std::string> lines = srv.lines();
    auto count = [&](const std::string& prefix) {
        return std::count_if(lines.begin(), lines.end(),
                             [&](const std::string& l) { return l.compare(0, prefix.size(), prefix) == 0; });
    };
    EXPECT_EQ(count("MAIL FROM:"), 1) << srv.transcript();
    EXPECT_EQ(count("RSET"), 0) << srv.transcript();
    EXPECT_EQ(count("MAIL FROM:<evil"), 0) << srv.transcript();
    EXPECT_GE(count("RCPT TO:<c@y.test>"), 1) << srv.transcript();
    for (const std::string& l : lines) EXPECT_EQ(l.find('\r'), std::string::npos) << l;
    ASSERT_EQ(srv.dataBlocks().size(), 1u);
    const std::string data = srv.dataBlocks()[0];
    EXPECT_NE(data.find("ostmail_attach.txt"), std::string::npos);
    EXPECT_EQ(data.find("missing.pdf"), std::string::npos);
    std::remove(real.c_str());
}

// A recipient list of only separators leaves nothing to send to.
TEST(DoMail, AMessageWithoutRecipientsIsNeverSent) {
    ScriptedSmtpServer srv;
    srv.reply("220 ready").serveRest();
    srv.start();
    CMailObj m;
    fillJob(m, srv.port());
    m.SetRecipAddr(L";;;");
    EXPECT_EQ(m.DoMail(), -1);
    srv.waitDone();
    for (const std::string& l : srv.lines()) EXPECT_NE(l.rfind("RCPT", 0), 0u) << srv.transcript();
    EXPECT_TRUE(srv.dataBlocks().empty());
}

}  // namespace
}  // namespace ostmail
