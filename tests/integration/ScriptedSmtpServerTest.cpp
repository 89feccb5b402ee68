#include "integration/RawClient.h"
#include "support/ScriptedSmtpServer.h"

#include <gtest/gtest.h>

#include <chrono>

using ostmail::testsupport::RawClient;
using ostmail::testsupport::ScriptedSmtpServer;

TEST(ScriptedSmtpServer, RecordsCommandsAndDataOfAWholeSession) {
    ScriptedSmtpServer srv;
    srv.reply("220 scripted ready")
        .expectReply("EHLO", "250-scripted\r\n250 PIPELINING")
        .expectReply("MAIL FROM:", "250 sender ok")
        .expectReply("RCPT TO:", "250 rcpt ok")
        .expectReply("DATA", "354 go")
        .readData()
        .reply("250 queued")
        .expectReply("QUIT", "221 bye");
    srv.start();

    RawClient c;
    ASSERT_TRUE(c.connect(srv.port()));
    EXPECT_EQ(c.readReply(), "220 scripted ready\n");
    EXPECT_EQ(c.command("EHLO me"), "250-scripted\n250 PIPELINING\n");
    // Pipelined: two commands in one write are still two lines.
    ASSERT_TRUE(c.send("MAIL FROM:<a@x.test>\r\nRCPT TO:<b@y.test>\r\n"));
    EXPECT_EQ(c.readReply(), "250 sender ok\n");
    EXPECT_EQ(c.readReply(), "250 rcpt ok\n");
    EXPECT_EQ(c.command("DATA"), "354 go\n");
    // A body with a dot-stuffed line and a false terminator without CR.
    ASSERT_TRUE(c.send("Subject: t\r\n\r\n..dot\r\n\n.\nend\r\n.\r\nQUIT\r\n"));
    EXPECT_EQ(c.readReply(), "250 queued\n");
    EXPECT_EQ(c.readReply(), "221 bye\n");
    c.readLine(2000);
    EXPECT_TRUE(c.closed()) << "the script's end closes the connection";

    ASSERT_TRUE(srv.waitDone());
    EXPECT_EQ(srv.lines(), (std::vector<std::string>{"EHLO me", "MAIL FROM:<a@x.test>", "RCPT TO:<b@y.test>", "DATA", "QUIT"}));
    ASSERT_EQ(srv.dataBlocks().size(), 1u);
    EXPECT_EQ(srv.dataBlocks()[0], "Subject: t\r\n\r\n..dot\r\n\n.\nend\r\n");
    EXPECT_TRUE(srv.errors().empty()) << srv.transcript();
    EXPECT_EQ(srv.connections(), 1);
}

TEST(ScriptedSmtpServer, SplitWritesArriveApartAndJoinedRepliesTogether) {
    ScriptedSmtpServer srv;
    srv.sendSplit({"22", "0 split", " greeting\r\n"}, 300).expect().send("250 first\r\n250 second\r\n");
    srv.start();

    RawClient c;
    ASSERT_TRUE(c.connect(srv.port()));
    EXPECT_EQ(c.recvSome(), "22");
    EXPECT_EQ(c.recvSome(), "0 split");
    EXPECT_EQ(c.recvSome(), " greeting\r\n");
    ASSERT_TRUE(c.send("NOOP\r\n"));
    EXPECT_EQ(c.recvSome(), "250 first\r\n250 second\r\n");
    EXPECT_TRUE(srv.waitDone());
}

TEST(ScriptedSmtpServer, SilenceThenCloseMidLine) {
    ScriptedSmtpServer srv;
    srv.reply("220 hi").silence(400).send("250-partial").closeNow();
    srv.start();

    RawClient c;
    ASSERT_TRUE(c.connect(srv.port()));
    EXPECT_EQ(c.readLine(), "220 hi");
    EXPECT_EQ(c.recvSome(150), "") << "nothing may come during the silence";
    EXPECT_FALSE(c.closed());
    EXPECT_EQ(c.recvSome(), "250-partial");
    EXPECT_EQ(c.recvSome(), "");
    EXPECT_TRUE(c.closed());
    EXPECT_EQ(c.lastErrno(), 0) << "a plain close is an orderly end of stream";
    EXPECT_TRUE(srv.waitDone());
}

TEST(ScriptedSmtpServer, ResetGivesThePeerAnError) {
    ScriptedSmtpServer srv;
    srv.reply("220 hi").expect().closeNow(true);
    srv.start();

    RawClient c;
    ASSERT_TRUE(c.connect(srv.port()));
    EXPECT_EQ(c.readLine(), "220 hi");
    ASSERT_TRUE(c.send("EHLO x\r\n"));
    ASSERT_TRUE(srv.waitDone());
    c.recvSome();
    EXPECT_TRUE(c.closed());
    EXPECT_EQ(c.lastErrno(), ECONNRESET);
}

TEST(ScriptedSmtpServer, SecondConnectionAndRecordedDeviations) {
    ScriptedSmtpServer srv;
    srv.reply("220 one").expectReply("EHLO", "250 ok").expect("QUIT").reply("221 bye")
        .acceptNext()
        .reply("220 two").serveRest();
    srv.start();
    {
        RawClient c;
        ASSERT_TRUE(c.connect(srv.port()));
        c.readReply();
        EXPECT_EQ(c.command("HELO wrong"), "250 ok\n");
        EXPECT_EQ(c.command("QUIT"), "221 bye\n");
    }
    RawClient c2;
    ASSERT_TRUE(c2.connect(srv.port()));
    EXPECT_EQ(c2.readReply(), "220 two\n");
    EXPECT_EQ(c2.command("EHLO again"), "250-scripted\n250-8BITMIME\n250 PIPELINING\n");
    EXPECT_EQ(c2.command("MAIL FROM:<a@b.test>"), "250 OK\n");
    EXPECT_EQ(c2.command("DATA"), "354 go ahead\n");
    EXPECT_EQ(c2.command("x\r\n."), "250 OK queued\n");
    EXPECT_EQ(c2.command("QUIT"), "221 bye\n");
    ASSERT_TRUE(srv.waitDone());

    EXPECT_EQ(srv.connections(), 2);
    EXPECT_EQ(srv.lines(0), (std::vector<std::string>{"HELO wrong", "QUIT"}));
    EXPECT_EQ(srv.lines(1), (std::vector<std::string>{"EHLO again", "MAIL FROM:<a@b.test>", "DATA", "QUIT"}));
    EXPECT_EQ(srv.dataBlocks(), (std::vector<std::string>{"x\r\n"}));
    ASSERT_EQ(srv.errors().size(), 1u) << srv.transcript();
    EXPECT_NE(srv.errors()[0].find("HELO wrong"), std::string::npos);
}

TEST(ScriptedSmtpServer, PeerClosingEarlySkipsTheRestAndIsRecorded) {
    ScriptedSmtpServer srv;
    srv.reply("220 hi").expect("EHLO").reply("250 ok").expect("QUIT");
    srv.start();
    {
        RawClient c;
        ASSERT_TRUE(c.connect(srv.port()));
        c.readReply();
        c.send("EHL");  // half a line, then gone
    }
    ASSERT_TRUE(srv.waitDone());
    EXPECT_TRUE(srv.lines().empty());
    ASSERT_EQ(srv.errors().size(), 1u) << srv.transcript();
    EXPECT_EQ(srv.errors()[0], "peer closed the connection");
    EXPECT_NE(srv.transcript().find("(partial) EHL"), std::string::npos) << srv.transcript();
}

TEST(ScriptedSmtpServer, DestructorStopsAWaitingScriptPromptly) {
    auto t0 = std::chrono::steady_clock::now();
    {
        ScriptedSmtpServer idle;  // never connected to
        idle.reply("220 hi");
        idle.start();
        ScriptedSmtpServer waiting;  // connected, waiting for a line
        waiting.reply("220 hi").expect();
        waiting.start();
        RawClient c;
        ASSERT_TRUE(c.connect(waiting.port()));
        EXPECT_EQ(c.readLine(), "220 hi");
        EXPECT_FALSE(waiting.waitDone(100));
    }
    auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(took).count(), 5000);
}
