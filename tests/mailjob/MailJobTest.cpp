#include "mailjob/MailJob.h"
#include "ostmail/CMailObj.h"
#include "platform/SysInfo.h"
#include "support/ClosedPort.h"
#include "support/ScratchDir.h"
#include "support/ScriptedSmtpServer.h"

#include <gtest/gtest.h>

#include <chrono>

namespace ostmail {
namespace {

using testsupport::ScriptedSmtpServer;
using Clock = std::chrono::steady_clock;

TEST(MailJob, AttemptsAndWaitsFollowTheRetryCount) {
    struct Case {
        std::vector<bool> outcomes;
        int32_t retries;
        int result, attempts, waits;
    } cases[] = {
        {{}, 0, -1, 1, 1},                     // fails once, still waits once
        {{}, -5, -1, 1, 1},                    // negative counts as none
        {{}, 2, -1, 3, 3},                     // two retries are three attempts; the last failure waits too
        {{true}, 5, 0, 1, 0},                  // first attempt wins, no wait
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("retries " + std::to_string(c.retries));
        int attempts = 0;
        std::vector<uint32_t> waits;
        auto attempt = [&] {  // beyond the listed outcomes, every attempt fails
            return ++attempts <= static_cast<int>(c.outcomes.size()) && c.outcomes[attempts - 1];
        };
        EXPECT_EQ(mailjob::runAttempts(attempt, c.retries, 7000, [&](uint32_t ms) { waits.push_back(ms); }), c.result);
        EXPECT_EQ(attempts, c.attempts);
        EXPECT_EQ(waits, std::vector<uint32_t>(c.waits, 7000u));
    }
}

std::wstring wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }

// Reaches the protected file helpers the way a deriving host would, with
// these inline images.
class HostMail : public CMailObj {
public:
    using CMailObj::AddId;
    using CMailObj::ReadFileToString;
    explicit HostMail(std::initializer_list<std::wstring> images = {}) { m_inlineImages = images; }
};

TEST(CMailObj, ReadFileToStringAndAddId) {
    // AddId turns image references into content ids.
    HostMail m({L"C:\\report\\img\\logo.png", L"/srv/pics/missing.gif", L"/srv/pics/chart.png"});
    testsupport::ScratchDir dir;
    std::wstring text = L"unchanged";
    EXPECT_EQ(m.ReadFileToString(L"/nonexistent/ostmail/file.txt", text), 0);
    EXPECT_EQ(text, L"unchanged");
    EXPECT_EQ(m.ReadFileToString(wide(dir.write("empty", "")), text), 1);
    EXPECT_EQ(text, L"");
    EXPECT_EQ(m.ReadFileToString(wide(dir.write("zero", std::string("line one\r\nline two\0hidden", 25))), text), 1);
    EXPECT_EQ(text, L"line one\r\nline two");

    std::wstring html = L"<img src=\"img/logo.png\"><img src=\"img/logo.png\"><img src=\"other/chart.png\">";
    m.AddId(html);
    // logo: the slash form matches the path once backslashed; chart: "other/"
    // is not part of its path, so it stays.
    EXPECT_EQ(html, L"<img src=\"cid:logo.png\"><img src=\"cid:logo.png\"><img src=\"other/chart.png\">");

    // A name with no quote before it ends the whole run.
    HostMail stop({L"/a/x.png", L"/a/y.png"});
    std::wstring bare = L"x.png then \"/a/y.png\"";
    stop.AddId(bare);
    EXPECT_EQ(bare, L"x.png then \"/a/y.png\"");
}

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

// Retry 2 against a server that turns the first client away: the job waits
// its time-out once, then the second attempt is accepted. (Attempts and waits
// for other counts: MailJob.AttemptsAndWaitsFollowTheRetryCount.)
TEST(DoMail, RetriesWaitAfterAFailureAndStopAtTheFirstSuccess) {
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

// Unusable servers fail without hanging, and so does a recipient list of
// only separators, which leaves nothing to send to. Under an 8-bit code page
// (page 0: none set) the body text it cannot hold is lost, as it always was,
// but the log names what lost it; under UTF-8 nothing is lost.
TEST(DoMail, UnusableServersFailWithoutHangingAndTheLogNamesLostText) {
    testsupport::ClosedPort closedPort;
    const int closed = closedPort.port();
    // A name that does not resolve, in front of a live port: only the name can fail the send.
    ScriptedSmtpServer live;
    live.reply("220 ready").serveRest();
    live.start();
    const struct {
        const wchar_t* host;
        int port;
        uint32_t page;
        bool lost;
        const wchar_t* to = L"a@y.test";
    } cases[] = {{L"", 25, 0, false}, {L"no-such-host.invalid", live.port(), 0, false},
                 {L"127.0.0.1", closed, 0, false}, {L"127.0.0.1", 0, 0, false}, {L"127.0.0.1", 70000, 0, false},
                 {L"127.0.0.1", -1, 0, false}, {L"127.0.0.1", closed, 1252, true}, {L"127.0.0.1", closed, 65001, false},
                 {L"127.0.0.1", live.port(), 0, false, L";;;"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.port) + " page " + std::to_string(c.page) + (c.to[0] == L';' ? " to ;;;" : ""));
        platform::setAnsiCodePageOverride(c.page);
        CMailObj m;
        fillJob(m, c.port);
        m.SetServer(c.host);
        m.SetRecipAddr(c.to);
        if (c.page) m.SetBody(L"Привет €");
        auto t0 = Clock::now();
        EXPECT_EQ(m.DoMail(), -1);
        EXPECT_LT(msSince(t0), 20000);
        const std::wstring log = CMailObj::LastLog();
        EXPECT_NE(log.find(L"SendEmail"), log.npos);
        const std::wstring lost = L") cannot hold every character of the body;";
        EXPECT_EQ(log.find(L"(" + std::to_wstring(c.page) + lost) != log.npos, c.lost);
        EXPECT_EQ(log.find(L"of the subject"), log.npos);
        EXPECT_EQ(log.find(L"Aborted by application"), log.npos);  // a failed connect is no abort
    }
    platform::setAnsiCodePageOverride(0);
    EXPECT_TRUE(live.waitDone()) << live.transcript();
    for (const std::string& l : live.lines()) EXPECT_NE(l.rfind("RCPT", 0), 0u) << live.transcript();
    EXPECT_TRUE(live.dataBlocks().empty());
}

// Empty entries and missing attachments are left out. (CR and LF in
// addresses: SmtpTransaction.DsnParametersRecipientOrderAndNoInjectedCommands.)
// Then a peer that drops the connection after a given number of received
// bytes, for a count inside every phase of that session: the job fails
// promptly and never reports a message the peer did not accept. (A greeting
// cut short: SmtpSession.GreetingHelloAndAuthMechanisms; many jobs at once:
// ThreadedSend.)
TEST(DoMail, EmptyEntriesAreLeftOutAndADropInEveryPhaseFails) {
    testsupport::ScratchDir dir;
    const std::string attachment = dir.write("ostmail_attach.txt", std::string(20000, '\x7f'));
    auto aim = [&](CMailObj& m, int port) {
        fillJob(m, port);
        m.SetUserName(L"user");
        m.SetPasswd(L"secret");
        m.SetRecipAddr(L";a@y.test;;b@y.test;");
        m.SetRecipCC(L";;; ;c@y.test");
        m.SetAttachment(L"/nonexistent/missing.pdf;" + wide(attachment));
    };
    std::string stream;  // the client's side of one clean session
    {
        ScriptedSmtpServer srv;
        srv.offerAuth(true);
        srv.reply("220 scripted").serveRest();
        srv.start();
        CMailObj m;
        aim(m, srv.port());
        ASSERT_EQ(m.DoMail(), 0);
        ASSERT_TRUE(srv.waitDone());
        ASSERT_EQ(srv.dataBlocks().size(), 1u);
        const std::string data = srv.dataBlocks()[0];
        EXPECT_NE(data.find("ostmail_attach.txt"), std::string::npos);
        EXPECT_EQ(data.find("missing.pdf"), std::string::npos);
        std::vector<std::string> rcpt;
        for (const std::string& line : srv.lines()) {
            stream += line + "\r\n" + (line == "DATA" ? data + ".\r\n" : "");
            if (line.rfind("RCPT", 0) == 0) rcpt.push_back(line);
        }
        EXPECT_EQ(rcpt, (std::vector<std::string>{"RCPT TO:<a@y.test>", "RCPT TO:<b@y.test>", "RCPT TO:<c@y.test>"}));
    }
    ASSERT_NE(stream.find("AUTH PLAIN"), std::string::npos) << stream;
    auto at = [&](const char* s, size_t from = 0) { return static_cast<long>(stream.find(s, from)); };
    const long data = at("DATA\r\n") + 6, end = static_cast<long>(stream.rfind("\r\n.\r\n")) + 2;
    const struct {
        const char* name;
        long dropAfter;
    } phases[] = {
        {"EHLO", 0}, {"mid EHLO", 3}, {"AUTH", at("AUTH") + 4}, {"MAIL", at("MAIL FROM") + 6},
        {"RCPT", at("RCPT TO") + 6}, {"DATA", data - 3}, {"message", data + (end - data) / 2},
        {"terminator", end + 1}, {"whole terminator, no reply", end + 3},
        {"QUIT", at("QUIT", end) + 2},  // after the message was accepted
    };
    for (const auto& ph : phases) {
        SCOPED_TRACE(ph.name);
        const bool sent = std::string(ph.name) == "QUIT";
        ScriptedSmtpServer srv;
        srv.offerAuth(true);
        srv.dropAfterReceived(ph.dropAfter);
        srv.reply("220 scripted").serveRest();
        srv.start();
        CMailObj m;
        aim(m, srv.port());
        const auto t0 = Clock::now();
        EXPECT_EQ(m.DoMail(), sent ? 0 : -1) << srv.transcript();
        EXPECT_LT(msSince(t0), 20000);
        EXPECT_TRUE(srv.waitDone(5000));
        EXPECT_EQ(srv.accepted(), sent ? 1 : 0) << srv.transcript();
    }
}

}  // namespace
}  // namespace ostmail
