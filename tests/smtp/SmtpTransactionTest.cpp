#include "core/ProgressMonitor.h"
#include "platform/FileSystem.h"
#include "smtp/SmtpTestSupport.h"
#include "support/ScratchDir.h"

namespace ostmail {
namespace {

using namespace smtptest;

const char kBody[] = "Subject: hi\r\n\r\nline one\r\n";

TEST(SmtpTransaction, RequireAllRecipientsAndAllRefused) {
    ScriptedSmtpServer srv;
    greet(srv).expectReply("MAIL", "250 ok").expectReply("RCPT", "250 ok").expectReply("RCPT", "550 no")
        .expectReply("RSET", "250 ok")
        .expectReply("MAIL", "250 ok").expectReply("RCPT", "550 no").expectReply("RCPT", "553 bad")
        .expectReply("RCPT", "550 no").expectReply("QUIT", "221 bye");
    {
        Client c;
        ASSERT_TRUE(c.open(srv));
        c.conn.setRequireAllRecipients(true);
        EXPECT_FALSE(c.sendTo({"a@x.test", "b@x.test"}));
        EXPECT_EQ(c.outcome(), "0/2 connected");
        EXPECT_LOGGED(c.log, "E: One or more RCPT TO commands failed.");

        // The server is left inside the transaction; the next connect resets it.
        c.conn.setRequireAllRecipients(false);
        ASSERT_TRUE(c.connect(srv.port()));
        c.log.lines.clear();
        SmtpTextMessage all;
        all.addAddress(SmtpMessage::kCc, "");
        for (const char* a : {"c@x.test", "no-at-sign", "c@x.test"}) all.addAddress(SmtpMessage::kTo, a);
        EXPECT_FALSE(c.send(all));
        EXPECT_EQ(c.outcome(), "0/3 connected");
        EXPECT_FALSE(c.log.hasPrefix("E: Warning"));
        // Only addresses with an '@', each once, and across sends.
        EXPECT_EQ(c.badAddresses(), (std::vector<std::string>{"b@x.test", "c@x.test"}));
    }
    ASSERT_TRUE(srv.waitDone());
    EXPECT_TRUE(srv.errors().empty()) << srv.transcript();  // no DATA in place of RSET or QUIT
}

// DSN parameters on every line, To before Cc before Bcc; CR and LF in any
// value never reach the stream, and the body is dot-stuffed. BODY=8BITMIME
// only where the server lists 8BITMIME.
TEST(SmtpTransaction, DsnParametersRecipientOrderAndNoInjectedCommands) {
    {
        ScriptedSmtpServer srv;
        greet(srv, "250-X-8BITMIMEX\r\n250-8BITMIME\r\n250 DSN").serveRest();
        {
        Client c;
        c.conn.setBody8Bit(true);
        c.conn.setDsnRet(" HDRS ");
        c.conn.setDsnEnvid("env1\r\nRSET");
        c.conn.setDsnNotify("SUCCESS,FAILURE");
        ASSERT_TRUE(c.open(srv));
        c.msg.addAddress(SmtpMessage::kCc, "cc@x.test");
        c.msg.addAddress(SmtpMessage::kBcc, "bcc@x.test");
        ASSERT_TRUE(c.sendTo({">", "to@x.test"})) << c.log.text();
        EXPECT_EQ(c.outcome(), "3/3 connected");
        EXPECT_LOGGED(c.log, "D: cc=cc@x.test", "D: bcc=bcc@x.test", "I: Mail sent to 3 recipients");
        }
        ASSERT_TRUE(srv.waitDone());
        EXPECT_EQ(srv.lines(), (std::vector<std::string>{
                                   "EHLO client.test", "MAIL FROM:<sender@example.test> BODY=8BITMIME RET=HDRS ENVID=env1RSET",
                                   "RCPT TO:<to@x.test> NOTIFY=SUCCESS,FAILURE",
                                   "RCPT TO:<cc@x.test> NOTIFY=SUCCESS,FAILURE",
                                   "RCPT TO:<bcc@x.test> NOTIFY=SUCCESS,FAILURE", "DATA", "QUIT"}));
    }
    ScriptedSmtpServer srv;
    greet(srv).serveRest();
    {
        Client c;
        c.conn.setDsnNotify("NEVER\r\nRSET");  // all four ignored: the server lists no DSN nor 8BITMIME
        c.conn.setBody8Bit(true);
        c.conn.setDsnRet("FULL");
        c.conn.setDsnEnvid("env2");
        c.conn.setHeloHostname("client.test\r\nNOOP");
        ASSERT_TRUE(c.open(srv));
        c.msg.addAddress(SmtpMessage::kBcc, "b@x.test\nQUIT");
        ASSERT_TRUE(c.sendTo({"a@x.test\r\nRCPT TO:<evil@x.test>"}, "Subject: s\r\n\r\n.\r\n.hidden\r\nend",
                             "s@x.test>\r\nDATA\r\n"))
            << c.log.text();
    }
    ASSERT_TRUE(srv.waitDone());
    EXPECT_EQ(srv.lines(), (std::vector<std::string>{"EHLO client.testNOOP", "MAIL FROM:<s@x.test>DATA>",
                                                     "RCPT TO:<a@x.testRCPT TO:<evil@x.test>>",
                                                     "RCPT TO:<b@x.testQUIT>", "DATA", "QUIT"}));
    EXPECT_EQ(srv.dataBlocks(), std::vector<std::string>{"Subject: s\r\n\r\n..\r\n..hidden\r\nend\r\n"});
}

// Asks to abort once the monitor reports 30 % or more.
class AbortingSink : public ProgressEvent {
public:
    void PercentDone(int32_t percent, bool* abort) override { *abort = percent >= 30; }
};

// One message to a@x.test after the greeting and EHLO. A server that goes
// silent, closes mid-line, answers with a line too short to hold a code,
// refuses after DATA or has taken its most messages fails the send, which
// says where; a 421 that is not about the limit, and an abort after MAIL
// FROM, leave the connection open; two replies in one read are both used.
// Pipelined: the envelope in one write (the server reads all of it before
// it answers), RSET with it on a reused connection; a reply out of step,
// an extra one or a missing one fail, count nobody and close.
// (Closing mid-DATA: ApiSend.)
TEST(SmtpTransaction, OneMessageOutcomes) {
    struct Case {
        const char* name;
        std::function<void(ScriptedSmtpServer&)> script;
        bool ok;
        const char* outcome;
        std::vector<std::string> log, lines, data = {};  // lines: what the peer receives after EHLO
        uint32_t readTimeoutMs = 5000;
        bool abort = false;
        std::function<void(Client&)> more = nullptr;
        bool pipelined = false;
    };
    const std::vector<std::string> envelope = {"MAIL FROM:<s@x.test>", "RCPT TO:<a@x.test>", "DATA"};
    const std::vector<Case> cases = {
        {"silence", [](Peer& s) { s.expect("MAIL").silence(1500); }, false,
         "0/0 protocolFailure timedOut closed",
         {"E: ReadTimeout expired, abandoning attempt to retrieve SMTP response."}, {"MAIL FROM:<s@x.test>"},
         {}, 500},
        {"close mid-line",
         [](Peer& s) { s.expectReply("MAIL", "250 ok").expect("RCPT").send("250 o").closeNow(); },
         false, "0/1 closed",
         {"E: Failed to get SMTP command response...", "E: Failed when sending RCPT TO:<a@x.test>"},
         {"MAIL FROM:<s@x.test>", "RCPT TO:<a@x.test>"}},
        {"short reply",
         [](Peer& s) { s.expectReply("MAIL", "250 ok").expectReply("RCPT", "25").silence(300); },
         false, "0/1 closed",
         {"E: Unrecognized response from SMTP server", "E: Failed when sending RCPT TO:<a@x.test>"},
         {"MAIL FROM:<s@x.test>", "RCPT TO:<a@x.test>"}},
        {"code 000 to DATA: no code, as good as no reply",
         [](Peer& s) { s.expectReply("MAIL", "250 ok").expectReply("RCPT", "250 ok").expectReply("DATA", "000"); },
         false, "0/1 protocolFailure closed", {"E: 000", "E: Failed when sending DATA command"},
         {"MAIL FROM:<s@x.test>", "RCPT TO:<a@x.test>", "DATA"}},
        {"refused after DATA",
         [](Peer& s) {
             s.expectReply("MAIL", "250 ok").expectReply("RCPT", "250 ok").expectReply("DATA", "354 go")
                 .readData().reply("554 message rejected").serveRest();
         },
         false, "0/1 protocolFailure connected",
         {"E: Failed when sending end-of-body", "D: CommandSent=1", "D: GotResponseCode=554", "D: TimedOut=0"},
         {"MAIL FROM:<s@x.test>", "RCPT TO:<a@x.test>", "DATA"}, {std::string(kBody) + "\r\n"}},
        {"too many messages",
         [](Peer& s) { s.expectReply("MAIL", "421 4.7.0 Maximum allowed messages per connection").silence(300); },
         false, "0/0 protocolFailure tooManyMessages closed", {"E: Failed when sending MAIL FROM:<s@x.test>"},
         {"MAIL FROM:<s@x.test>"}},
        {"421 for another reason", [](Peer& s) { s.expectReply("MAIL", "421 4.3.2 shutting down").serveRest(); },
         false, "0/0 protocolFailure connected", {"E: Failed when sending MAIL FROM:<s@x.test>"},
         {"MAIL FROM:<s@x.test>"}},
        // The MAIL FROM line itself makes 11 % of the monitor's 200; the step after it 40 %.
        {"abort after MAIL FROM", [](Peer& s) { s.expectReply("MAIL", "250 ok").serveRest(); }, false,
         "0/0 aborted connected", {"E: Mail sending aborted by application"}, {"MAIL FROM:<s@x.test>"}, {},
         5000, true},
        // The RCPT reply arrives together with the MAIL reply and must be kept;
        // the body ends in CRLF, so the terminator adds an empty line.
        {"two replies in one read",
         [](Peer& s) {
             s.expect("MAIL").send("250 sender ok\r\n250 rcpt ok\r\n").expect("RCPT")
                 .expectReply("DATA", "354 go").readData().reply("250 done").serveRest();
         },
         true, "1/1 connected", {}, {"MAIL FROM:<s@x.test>", "RCPT TO:<a@x.test>", "DATA"},
         {std::string(kBody) + "\r\n"}, 5000, false,
         [](Client& c) {
             EXPECT_EQ(c.conn.lastReplyCode(), 250);
             EXPECT_EQ(lacks(c.conn.transcript().toStdString(), {"250 sender ok\r\n", "250 rcpt ok\r\n"}), "");
         }},
        {"pipelined, then reused",
         [](Peer& s) {
             s.expect("MAIL").expect("RCPT").expect("DATA").send("250 ok\r\n250 ok\r\n354 go\r\n").readData()
                 .reply("250 queued").expect("RSET").expect("MAIL").expect("RCPT").expect("DATA")
                 .send("250 ok\r\n250 ok\r\n250 ok\r\n354 go\r\n").readData().reply("250 queued");
         },
         true, "1/1 connected", {"I: Using existing/open SMTP connection to send email."},
         {"MAIL FROM:<s@x.test>", "RCPT TO:<a@x.test>", "DATA", "RSET", "MAIL FROM:<s@x.test>", "RCPT TO:<a@x.test>",
          "DATA"},
         {std::string(kBody) + "\r\n", std::string(kBody) + "\r\n"}, 5000, false,
         nullptr, true},
        {"pipelined, 354 to MAIL", [](Peer& s) { s.expectReply("MAIL", "354 go").silence(300); }, false,
         "0/0 protocolFailure closed", {"E: Pipelined reply out of step", "D: reply=354 go"},
         {"MAIL FROM:<s@x.test>"}, {}, 5000, false, nullptr, true},
        {"pipelined, an extra reply",
         [](Peer& s) { s.expect("MAIL").send("250 ok\r\n250 ok\r\n").expectReply("RCPT", "250 ok").expect("DATA"); },
         false, "0/1 protocolFailure closed", {"E: Pipelined reply out of step", "D: reply=250 ok"}, envelope, {},
         5000, false, nullptr, true},
        {"pipelined, DATA's reply missing",
         [](Peer& s) { s.expectReply("MAIL", "250 ok").expectReply("RCPT", "250 ok").expect("DATA").silence(1500); },
         false, "0/1 protocolFailure timedOut closed",
         {"E: ReadTimeout expired, abandoning attempt to retrieve SMTP response.",
          "E: Failed when sending DATA command"},
         envelope, {}, 500, false, nullptr, true},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        ScriptedSmtpServer srv;
        k.script(greet(srv, k.pipelined ? "250-x.test\r\n250 PIPELINING" : "250 ok"));
        Client c;
        c.conn.setPipelining(k.pipelined);
        ASSERT_TRUE(c.open(srv, "", "", "", k.readTimeoutMs));
        AbortingSink sink;
        ProgressMonitor pm(&sink, 200);
        bool sent = c.sendTo({"a@x.test"}, kBody, "s@x.test", k.abort ? &pm : nullptr);
        if (sent && k.pipelined) sent = c.connect(srv.port()) && c.sendTo({}, kBody, "s@x.test");  // reused
        EXPECT_EQ(sent, k.ok) << c.log.text();
        EXPECT_EQ(c.outcome(), k.outcome);
        EXPECT_EQ(c.log.missing(k.log), "");
        EXPECT_FALSE(c.log.hasPrefix("D: bad_address"));
        if (k.more) k.more(c);
        c.conn.closeConnection(c.log, nullptr);
        ASSERT_TRUE(srv.waitDone());
        std::vector<std::string> lines = srv.lines();
        EXPECT_EQ(std::vector<std::string>(lines.begin() + 1, lines.end()), k.lines) << srv.transcript();
        EXPECT_EQ(srv.dataBlocks(), k.data);
    }
}

// The log without the transcript dumps, which show the batching itself.
std::vector<std::string> verdicts(const RecordingLog& log) {
    std::vector<std::string> out;
    for (const std::string& l : log.lines)
        if (l.find("\r\n") == std::string::npos) out.push_back(l);
    return out;
}

// Pipelined and one at a time give the same verdicts, counts, bad addresses,
// log lines and commands: one refused recipient, all refused (DATA then
// draws 554 and RSET clears it), a refused MAIL FROM (503s follow), DSN.
TEST(SmtpTransaction, PipelinedVerdictsMatchTheLockStepOnes) {
    const char* const kEhlo = "250-x.test\r\n250-DSN\r\n250 PIPELINING";
    struct Case {
        const char* name;
        std::function<void(Peer&, bool)> script;  // replies in order; bool: pipelined
        std::vector<const char*> to;
        const char* outcome;
        std::vector<std::string> bad;
    };
    const std::vector<Case> cases = {
        {"one refused",
         [](Peer& s, bool) {
             s.expectReply("MAIL", "250 ok").expectReply("RCPT", "250 ok").expectReply("RCPT", "550 no such user")
                 .expectReply("RCPT", "250 ok").expectReply("DATA", "354 go").readData().reply("250 queued");
         },
         {"a@x.test", "reject@x.test", "c@x.test"}, "2/3 connected", {"reject@x.test"}},
        {"all refused",
         [](Peer& s, bool pipelined) {
             s.expectReply("MAIL", "250 ok").expectReply("RCPT", "550 no").expectReply("RCPT", "551 no");
             if (pipelined) s.expectReply("DATA", "554 no valid recipients").expectReply("RSET", "250 ok");
         },
         {"a@x.test", "b@x.test"}, "0/2 connected", {"a@x.test", "b@x.test"}},
        {"refused MAIL FROM",
         [](Peer& s, bool pipelined) {
             s.expectReply("MAIL", "550 sender refused");
             if (pipelined) s.expectReply("RCPT", "503 no MAIL").expectReply("DATA", "503 no MAIL");
         },
         {"a@x.test"}, "0/0 protocolFailure connected", {}},
    };
    for (const Case& k : cases) {
        std::vector<std::string> logs[2], lines[2], bad[2];
        for (bool pipelined : {false, true}) {
            SCOPED_TRACE(std::string(k.name) + (pipelined ? " pipelined" : " lock-step"));
            ScriptedSmtpServer srv;
            k.script(greet(srv, kEhlo), pipelined);
            srv.expectReply("QUIT", "221 bye");
            {
                Client c;
                c.conn.setPipelining(pipelined);
                c.conn.setDsnNotify("FAILURE");
                c.conn.setDsnRet("HDRS");
                ASSERT_TRUE(c.open(srv));
                c.log.lines.clear();
                for (const char* a : k.to) c.msg.addAddress(SmtpMessage::kTo, a);
                c.sendTo({});
                EXPECT_EQ(c.outcome(), k.outcome) << c.log.text();
                logs[pipelined] = verdicts(c.log);
                bad[pipelined] = c.badAddresses();
            }
            ASSERT_TRUE(srv.waitDone());
            EXPECT_TRUE(srv.errors().empty()) << srv.transcript();
            lines[pipelined] = srv.lines();
        }
        SCOPED_TRACE(k.name);
        EXPECT_EQ(logs[0], logs[1]);
        EXPECT_EQ(bad[0], k.bad);
        EXPECT_EQ(bad[1], k.bad);
        EXPECT_EQ(lines[1].at(1), "MAIL FROM:<sender@example.test> RET=HDRS");
        EXPECT_EQ(lines[1].at(2), "RCPT TO:<" + std::string(k.to[0]) + "> NOTIFY=FAILURE");
    }
}

// International addresses: as they are with SMTPUTF8 when offered; else
// domains in A-labels, and a non-ASCII local part or a name IDNA refuses
// fails before MAIL FROM.
TEST(SmtpTransaction, InternationalAddressesFollowSmtpUtf8) {
    struct Case {
        const char* ehlo;
        bool on;
        std::vector<const char*> to;
        bool ok;
        std::vector<std::string> lines, log = {};  // what the peer receives after EHLO; logged
    };
    const char* kUtf8 = "250-x.test\r\n250 SMTPUTF8";
    const std::vector<Case> cases = {
        {kUtf8, true, {"jörg@müller.de", "用户@例子.广告"}, true,
         {"MAIL FROM:<s@x.test> SMTPUTF8", "RCPT TO:<jörg@müller.de>", "RCPT TO:<用户@例子.广告>", "DATA"}},
        {kUtf8, true, {"a@x.test"}, true, {"MAIL FROM:<s@x.test>", "RCPT TO:<a@x.test>", "DATA"}},
        {"250 ok", true, {"a@müller.de", "b@例子.广告"}, true,
         {"MAIL FROM:<s@x.test>", "RCPT TO:<a@xn--mller-kva.de>", "RCPT TO:<b@xn--fsqu00a.xn--4rr70v>", "DATA"}},
        {"250 ok", true, {"a@x.test", "jörg@müller.de"}, false, {},
         {"E: Failed to send to <jörg@müller.de>: the server does not offer SMTPUTF8"}},
        {"250 ok", true, {"a@☃.de"}, false, {},
         {"E: Failed to send to <a@☃.de>: not a valid international domain name: string contains a disallowed "
          "character"}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.to.back());
        ScriptedSmtpServer srv;
        greet(srv, k.ehlo).serveRest();
        Client c;
        c.conn.setSmtpUtf8(k.on);
        ASSERT_TRUE(c.open(srv));
        for (const char* a : k.to) c.msg.addAddress(SmtpMessage::kTo, a);
        EXPECT_EQ(c.sendTo({}, kBody, "s@x.test"), k.ok) << c.log.text();
        EXPECT_EQ(c.log.missing(k.log), "");
        c.conn.closeConnection(c.log, nullptr);
        ASSERT_TRUE(srv.waitDone());
        std::vector<std::string> lines = srv.lines();
        EXPECT_EQ(std::vector<std::string>(lines.begin() + 1, lines.end()), k.lines) << srv.transcript();
    }
}

TEST(SmtpTransaction, TerminatorTimeoutCountsAsSentAndSentLog) {
    testsupport::ScratchDir dir;
    const std::string path = dir.path() + "/sentlog";
    ScriptedSmtpServer srv;
    greet(srv).expectReply("MAIL", "250 ok").expectReply("RCPT", "250 ok").expectReply("DATA", "354 go")
        .readData().silence(1200)
        .acceptNext().reply("220 again").expectReply("EHLO", "250 ok")
        .expectReply("MAIL", "250 ok").expectReply("RCPT", "250 ok").expectReply("DATA", "354 go")
        .readData().reply("250 ok").expectReply("QUIT", "221 bye");
    {
        Client c;
        ASSERT_TRUE(c.open(srv, "", "", "", 500));
        ASSERT_TRUE(c.sendTo({"a@x.test"}, "Subject: one\r\n\r\n.dot", "s@x.test", nullptr, path.c_str()))
            << c.log.text();
        EXPECT_LOGGED(c.log, "E: Failed when sending end-of-body", "D: TimedOut=1", "I: Mail sent to 1 recipient");
        // Its reply may still come, so the connection was given up.
        EXPECT_EQ(c.outcome(), "1/1 timedOut closed");

        ASSERT_TRUE(c.connect(srv.port(), "", "", "", 3000));
        ASSERT_TRUE(c.sendTo({}, "Subject: two\r\n\r\nbody", "s@x.test", nullptr, path.c_str()));
    }
    std::string logged;
    ASSERT_TRUE(platform::readWholeFile(path.c_str(), logged));
    // The log keeps the text as it went out, dot-stuffing included.
    EXPECT_EQ(logged,
              "--BEGIN SENT VELMORA EMAIL--\nSubject: one\r\n\r\n..dot\n--END SENT VELMORA EMAIL--\n"
              "--BEGIN SENT VELMORA EMAIL--\nSubject: two\r\n\r\nbody\n--END SENT VELMORA EMAIL--\n");
}

TEST(SmtpTransaction, DistributionListOneByOneAndInBatches) {
    testsupport::ScratchDir dir;
    const std::string path = dir.write("list", "a@x.test\r\n# comment\n\n  b@x.test \nc@x.test");
    ScriptedSmtpServer srv;
    greet(srv).expectReply("MAIL", "250 ok").expectReply("RCPT TO:<a@x.test>", "250 ok")
        .expectReply("DATA", "354 go").readData().reply("250 ok")
        .expectReply("MAIL", "250 ok").expectReply("RCPT TO:<b@x.test>", "550 no").expectReply("RSET", "250 ok")
        .expectReply("MAIL", "250 ok").expectReply("RCPT TO:<c@x.test>", "250 ok")
        .expectReply("DATA", "354 go").readData().reply("250 ok")
        .serveRest();
    {
        Client c;
        ASSERT_TRUE(c.open(srv));
        c.msg.setDistributionList(path.c_str());
        ASSERT_TRUE(c.sendTo({"ignored@x.test"})) << c.log.text();
        EXPECT_LOGGED(c.log, "I: Sending to distribution list...", "D: DistributionCount=3",
                      "I: Mail sent to 2 recipients");
        EXPECT_EQ(c.outcome(), "2/3 connected");
        EXPECT_EQ(c.badAddresses(), std::vector<std::string>{"b@x.test"});

        ASSERT_TRUE(c.conn.sendEmail(&c.msg, "s@x.test", nullptr, nullptr, c.log, nullptr, c.result, c.bad, false,
                                     false));
        EXPECT_EQ(c.result.accepted, 3);

        c.msg.setDistributionList((dir.path() + "/missing").c_str());
        EXPECT_FALSE(c.sendTo({"ignored@x.test"}));
        EXPECT_LOGGED(c.log, "E: Failed to read the distribution list file.");
    }
    ASSERT_TRUE(srv.waitDone());
    auto lines = srv.lines();
    ASSERT_EQ(lines.size(), 16u) << srv.transcript();
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 10, lines.begin() + 15),
              (std::vector<std::string>{"MAIL FROM:<s@x.test>", "RCPT TO:<a@x.test>", "RCPT TO:<b@x.test>",
                                        "RCPT TO:<c@x.test>", "DATA"}));
    EXPECT_EQ(srv.dataBlocks().size(), 3u);
    EXPECT_TRUE(srv.errors().empty()) << srv.transcript();
    for (const auto& l : lines) EXPECT_EQ(l.find("ignored"), std::string::npos);
}

}  // namespace
}  // namespace ostmail
