#include "smtp/SmtpConnImpl.h"

#include "core/ProgressMonitor.h"
#include "platform/FileSystem.h"
#include "smtp/SmtpTestSupport.h"
#include "support/ScriptedSmtpServer.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace ostmail {
namespace {

using smtptest::addTo;
using smtptest::Client;
using testsupport::ScriptedSmtpServer;

const char kBody[] = "Subject: hi\r\n\r\nline one\r\n";

// Greeting and a plain EHLO; the test's own steps follow.
ScriptedSmtpServer& greet(ScriptedSmtpServer& srv, const std::string& ehlo = "250 ok") {
    return srv.reply("220 hi").expectReply("EHLO", ehlo);
}

void message(SmtpTextMessage& m, std::initializer_list<const char*> to, const char* text = kBody) {
    m.setSubject("hi");
    for (const char* a : to) addTo(m, a);
    m.text().setString(text);
}

TEST(SmtpTransaction, RequireAllRecipientsAndAllRefused) {
    ScriptedSmtpServer srv;
    greet(srv).expectReply("MAIL", "250 ok").expectReply("RCPT", "250 ok").expectReply("RCPT", "550 no")
        .expectReply("RSET", "250 ok")
        .expectReply("MAIL", "250 ok").expectReply("RCPT", "550 no").expectReply("RCPT", "553 bad")
        .expectReply("RCPT", "550 no")
        .expectReply("QUIT", "221 bye");
    srv.start();
    {
        Client c;
        ASSERT_TRUE(c.connect(srv.port()));
        c.conn.setRequireAllRecipients(true);
        SmtpTextMessage m;
        message(m, {"a@x.test", "b@x.test"});
        EXPECT_FALSE(c.send(m));
        EXPECT_EQ(c.result.accepted, 0);
        EXPECT_EQ(c.result.attempted, 2);
        EXPECT_FALSE(c.result.protocolFailure);
        EXPECT_TRUE(c.log.has("E: One or more RCPT TO commands failed."));

        // The server is left inside the transaction; the next connect resets it.
        c.conn.setRequireAllRecipients(false);
        ASSERT_TRUE(c.connect(srv.port()));
        c.log.lines.clear();
        SmtpTextMessage all;
        message(all, {"c@x.test", "no-at-sign", "c@x.test"});
        all.addAddress(SmtpMessage::kCc, "");
        EXPECT_FALSE(c.send(all));
        EXPECT_EQ(c.result.accepted, 0);
        EXPECT_EQ(c.result.attempted, 3);
        EXPECT_FALSE(c.result.protocolFailure);
        EXPECT_FALSE(c.log.hasPrefix("E: Warning"));
        // Only addresses with an '@', each once, and across sends.
        EXPECT_EQ(c.badAddresses(), (std::vector<std::string>{"b@x.test", "c@x.test"}));
        EXPECT_TRUE(c.conn.isConnected());
    }
    ASSERT_TRUE(srv.waitDone());
    for (const auto& l : srv.lines()) EXPECT_NE(l, "DATA");
    EXPECT_TRUE(srv.errors().empty()) << srv.transcript();
}

TEST(SmtpTransaction, CcBccOrderAndDsnParameters) {
    ScriptedSmtpServer srv;
    greet(srv, "250 DSN").expect("MAIL").reply("250 ok")
        .expectReply("RCPT", "250 ok").expectReply("RCPT", "250 ok").expectReply("RCPT", "250 ok")
        .expectReply("DATA", "354 go").readData().reply("250 queued")
        .expectReply("QUIT", "221 bye");
    srv.start();
    {
        Client c;
        c.conn.setDsnRet(" HDRS ");
        c.conn.setDsnEnvid("env1\r\nRSET");
        c.conn.setDsnNotify("SUCCESS,FAILURE");
        ASSERT_TRUE(c.connect(srv.port()));
        SmtpTextMessage m;
        message(m, {">", "to@x.test"});
        m.addAddress(SmtpMessage::kCc, "cc@x.test");
        m.addAddress(SmtpMessage::kBcc, "bcc@x.test");
        ASSERT_TRUE(c.send(m)) << c.log.text();
        EXPECT_EQ(c.result.accepted, 3);
        EXPECT_EQ(c.log.missing({"D: cc=cc@x.test", "D: bcc=bcc@x.test", "I: Mail sent to 3 recipients"}), "");
    }
    ASSERT_TRUE(srv.waitDone());
    auto lines = srv.lines();
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(lines[1], "MAIL FROM:<sender@example.test> RET=HDRS ENVID=env1RSET");
    EXPECT_EQ(lines[2], "RCPT TO:<to@x.test> NOTIFY=SUCCESS,FAILURE");
    EXPECT_EQ(lines[3], "RCPT TO:<cc@x.test> NOTIFY=SUCCESS,FAILURE");
    EXPECT_EQ(lines[4], "RCPT TO:<bcc@x.test> NOTIFY=SUCCESS,FAILURE");
}

TEST(SmtpTransaction, DotStuffingAndNoInjectedCommands) {
    ScriptedSmtpServer srv;
    greet(srv).serveRest();
    srv.start();
    {
        Client c;
        c.conn.setDsnNotify("NEVER\r\nRSET");  // ignored: the server lists no DSN
        c.conn.setHeloHostname("client.test\r\nNOOP");
        ASSERT_TRUE(c.connect(srv.port()));
        SmtpTextMessage m;
        message(m, {"a@x.test\r\nRCPT TO:<evil@x.test>"}, "Subject: s\r\n\r\n.\r\n.hidden\r\nend");
        m.addAddress(SmtpMessage::kBcc, "b@x.test\nQUIT");
        ASSERT_TRUE(c.conn.sendEmail(&m, "s@x.test>\r\nDATA\r\n", nullptr, nullptr, c.log, nullptr, c.result,
                                     c.bad, true, false))
            << c.log.text();
    }
    ASSERT_TRUE(srv.waitDone());
    EXPECT_EQ(srv.lines(), (std::vector<std::string>{"EHLO client.testNOOP", "MAIL FROM:<s@x.test>DATA>",
                                                     "RCPT TO:<a@x.testRCPT TO:<evil@x.test>>",
                                                     "RCPT TO:<b@x.testQUIT>", "DATA", "QUIT"}));
    EXPECT_EQ(srv.dataBlocks(), std::vector<std::string>{"Subject: s\r\n\r\n..\r\n..hidden\r\nend\r\n"});
}

TEST(SmtpTransaction, RefusalsAfterDataAndAtMailFrom) {
    ScriptedSmtpServer srv;
    greet(srv).expectReply("MAIL", "250 ok").expectReply("RCPT", "250 ok").expectReply("DATA", "354 go")
        .readData().reply("554 message rejected")
        .expectReply("RSET", "250 ok")
        .expectReply("MAIL", "421 4.7.0 Maximum allowed messages per connection reached")
        .silence(300);
    srv.start();
    Client c;
    ASSERT_TRUE(c.connect(srv.port()));
    SmtpTextMessage m;
    message(m, {"a@x.test"});
    EXPECT_FALSE(c.send(m));
    EXPECT_EQ(c.log.missing({"E: Failed when sending end-of-body", "D: CommandSent=1", "D: GotResponseCode=554",
                             "D: TimedOut=0"}),
              "");
    EXPECT_TRUE(c.result.protocolFailure);
    EXPECT_EQ(c.result.accepted, 0);
    EXPECT_EQ(c.result.attempted, 1);
    EXPECT_TRUE(c.conn.isConnected());

    ASSERT_TRUE(c.connect(srv.port()));
    c.log.lines.clear();
    EXPECT_FALSE(c.send(m));
    EXPECT_TRUE(c.log.has("E: Failed when sending MAIL FROM:<sender@example.test>"));
    EXPECT_TRUE(c.result.tooManyMessages);
    EXPECT_TRUE(c.result.protocolFailure);
    EXPECT_EQ(c.result.attempted, 0);
    EXPECT_FALSE(c.conn.isConnected());
}

// A server that goes silent, closes mid-line or mid-DATA, or answers with a
// line too short to hold a code: the send fails and says where.
TEST(SmtpTransaction, SilenceShortRepliesAndPeerCloses) {
    struct Case {
        const char* name;
        void (*script)(ScriptedSmtpServer&);
        uint32_t readTimeoutMs;
        bool bigBody, timedOut, connected;
        std::vector<std::string> log;
    };
    const std::vector<Case> cases = {
        {"silence", [](ScriptedSmtpServer& s) { s.expect("MAIL").silence(1500); }, 500, false, true, false,
         {"E: ReadTimeout expired, abandoning attempt to retrieve SMTP response."}},
        {"close mid-line",
         [](ScriptedSmtpServer& s) { s.expectReply("MAIL", "250 ok").expect("RCPT").send("250 o").closeNow(); },
         5000, false, false, false,
         {"E: Failed to get SMTP command response...", "E: Failed when sending RCPT TO:<a@x.test>"}},
        {"short reply", [](ScriptedSmtpServer& s) { s.expectReply("MAIL", "250 ok").expectReply("RCPT", "25").silence(300); },
         5000, false, false, false,
         {"E: Unrecognized response from SMTP server", "E: Failed when sending RCPT TO:<a@x.test>"}},
        {"close mid-DATA",
         [](ScriptedSmtpServer& s) {
             s.expectReply("MAIL", "250 ok").expectReply("RCPT", "250 ok").expectReply("DATA", "354 go").closeNow(true);
         },
         5000, true, false, false, {}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        ScriptedSmtpServer srv;
        k.script(greet(srv));
        srv.start();
        Client c;
        ASSERT_TRUE(c.connect(srv.port(), "", "", "", k.readTimeoutMs));
        SmtpTextMessage m;
        std::string big = "Subject: big\r\n\r\n" + std::string(300000, 'x') + "\r\n";
        message(m, {"a@x.test"}, k.bigBody ? big.c_str() : kBody);
        EXPECT_FALSE(c.send(m));
        EXPECT_EQ(c.result.timedOut, k.timedOut);
        EXPECT_EQ(c.result.accepted, 0);
        for (const std::string& line : k.log) EXPECT_TRUE(c.log.has(line)) << line << "\n" << c.log.text();
        EXPECT_FALSE(c.log.hasPrefix("D: bad_address"));
        EXPECT_EQ(c.conn.isConnected(), k.connected);
        if (k.bigBody) {
            EXPECT_TRUE(c.result.protocolFailure);
            EXPECT_TRUE(c.log.has("E: Failed when sending email body") || c.log.has("E: Failed when sending end-of-body"));
        }
    }
}

TEST(SmtpTransaction, TerminatorTimeoutCountsAsSentAndSentLog) {
    std::string path = "/tmp/ostmail_sentlog_" + std::to_string(::getpid()) + ".txt";
    ::unlink(path.c_str());
    ScriptedSmtpServer srv;
    greet(srv).expectReply("MAIL", "250 ok").expectReply("RCPT", "250 ok").expectReply("DATA", "354 go")
        .readData().silence(1200)
        .acceptNext().reply("220 again").expectReply("EHLO", "250 ok")
        .expectReply("MAIL", "250 ok").expectReply("RCPT", "250 ok").expectReply("DATA", "354 go")
        .readData().reply("250 ok")
        .expectReply("QUIT", "221 bye");
    srv.start();
    {
        Client c;
        ASSERT_TRUE(c.connect(srv.port(), "", "", "", 500));
        SmtpTextMessage m;
        message(m, {"a@x.test"}, "Subject: one\r\n\r\n.dot");
        ASSERT_TRUE(c.send(m, "s@x.test", nullptr, path.c_str())) << c.log.text();
        EXPECT_EQ(c.log.missing({"E: Failed when sending end-of-body", "D: TimedOut=1", "I: Mail sent to 1 recipient"}),
                  "");
        // Its reply may still come, so the connection was given up.
        EXPECT_FALSE(c.conn.isConnected());

        ASSERT_TRUE(c.connect(srv.port(), "", "", "", 3000));
        message(m, {}, "Subject: two\r\n\r\nbody");
        ASSERT_TRUE(c.send(m, "s@x.test", nullptr, path.c_str()));
    }
    std::string logged;
    ASSERT_TRUE(platform::readWholeFile(path.c_str(), logged));
    // The log keeps the text as it went out, dot-stuffing included.
    EXPECT_EQ(logged,
              "--BEGIN SENT VELMORA EMAIL--\nSubject: one\r\n\r\n..dot\n--END SENT VELMORA EMAIL--\n"
              "--BEGIN SENT VELMORA EMAIL--\nSubject: two\r\n\r\nbody\n--END SENT VELMORA EMAIL--\n");
    ::unlink(path.c_str());
}

// Asks to abort once the monitor reports 30 % or more.
class AbortingSink : public ProgressEvent {
public:
    void PercentDone(int32_t percent, bool* abort) override { *abort = percent >= 30; }
};

TEST(SmtpTransaction, AbortAfterMailFromLeavesConnectionOpen) {
    ScriptedSmtpServer srv;
    greet(srv).expectReply("MAIL", "250 ok").expectReply("QUIT", "221 bye");
    srv.start();
    {
        Client c;
        ASSERT_TRUE(c.connect(srv.port()));
        AbortingSink sink;
        // The MAIL FROM line itself makes 11 %; the step after it 40 %.
        ProgressMonitor pm(&sink, 200);
        SmtpTextMessage m;
        message(m, {"a@x.test"});
        EXPECT_FALSE(c.send(m, "s@x.test", &pm));
        EXPECT_TRUE(c.result.aborted);
        EXPECT_TRUE(c.log.has("E: Mail sending aborted by application"));
        EXPECT_TRUE(c.conn.isConnected());
    }
    ASSERT_TRUE(srv.waitDone());
    EXPECT_EQ(srv.lines(), (std::vector<std::string>{"EHLO client.test", "MAIL FROM:<s@x.test>", "QUIT"}));
}

TEST(SmtpTransaction, TwoRepliesInOneRead) {
    ScriptedSmtpServer srv;
    // The RCPT reply arrives together with the MAIL reply and must be kept.
    greet(srv).expect("MAIL").send("250 sender ok\r\n250 rcpt ok\r\n").expect("RCPT")
        .expectReply("DATA", "354 go").readData().reply("250 done").serveRest();
    srv.start();
    Client c;
    ASSERT_TRUE(c.connect(srv.port()));
    SmtpTextMessage m;
    message(m, {"a@x.test"});
    ASSERT_TRUE(c.send(m)) << c.log.text();
    EXPECT_EQ(c.result.accepted, 1);
    EXPECT_EQ(c.conn.lastReplyCode(), 250);
    std::string t = c.conn.transcript().toStdString();
    EXPECT_NE(t.find("250 sender ok\r\n"), std::string::npos);
    EXPECT_NE(t.find("250 rcpt ok\r\n"), std::string::npos);
    c.conn.closeConnection(c.log, nullptr);
    ASSERT_TRUE(srv.waitDone());
    // The body ends in CRLF, so the terminator adds an empty line.
    EXPECT_EQ(srv.dataBlocks(), std::vector<std::string>{std::string(kBody) + "\r\n"});
}

TEST(SmtpTransaction, DistributionListOneByOneAndInBatches) {
    std::string path = "/tmp/ostmail_distlist_" + std::to_string(::getpid()) + ".txt";
    ASSERT_TRUE(platform::writeWholeFile(path.c_str(), "a@x.test\r\n# comment\n\n  b@x.test \nc@x.test", 42));
    ScriptedSmtpServer srv;
    greet(srv).expectReply("MAIL", "250 ok").expectReply("RCPT TO:<a@x.test>", "250 ok")
        .expectReply("DATA", "354 go").readData().reply("250 ok")
        .expectReply("MAIL", "250 ok").expectReply("RCPT TO:<b@x.test>", "550 no")
        .expectReply("RSET", "250 ok")
        .expectReply("MAIL", "250 ok").expectReply("RCPT TO:<c@x.test>", "250 ok")
        .expectReply("DATA", "354 go").readData().reply("250 ok")
        .serveRest();
    srv.start();
    {
        Client c;
        ASSERT_TRUE(c.connect(srv.port()));
        SmtpTextMessage m;
        message(m, {"ignored@x.test"});
        m.setDistributionList(path.c_str());
        ASSERT_TRUE(c.send(m)) << c.log.text();
        EXPECT_EQ(c.log.missing({"I: Sending to distribution list...", "D: DistributionCount=3"}), "");
        EXPECT_EQ(c.result.accepted, 2);
        EXPECT_EQ(c.result.attempted, 3);
        EXPECT_EQ(c.badAddresses(), std::vector<std::string>{"b@x.test"});
        EXPECT_TRUE(c.log.has("I: Mail sent to 2 recipients"));

        ASSERT_TRUE(c.conn.sendEmail(&m, "s@x.test", nullptr, nullptr, c.log, nullptr, c.result, c.bad, false,
                                     false));
        EXPECT_EQ(c.result.accepted, 3);
    }
    ASSERT_TRUE(srv.waitDone());
    auto lines = srv.lines();
    ASSERT_EQ(lines.size(), 16u) << srv.transcript();
    EXPECT_EQ(lines[6], "RSET");
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 10, lines.begin() + 15),
              (std::vector<std::string>{"MAIL FROM:<s@x.test>", "RCPT TO:<a@x.test>", "RCPT TO:<b@x.test>",
                                        "RCPT TO:<c@x.test>", "DATA"}));
    EXPECT_EQ(srv.dataBlocks().size(), 3u);
    for (const auto& l : lines) EXPECT_EQ(l.find("ignored"), std::string::npos);
    ::unlink(path.c_str());
}

}  // namespace
}  // namespace ostmail
