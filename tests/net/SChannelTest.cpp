// The TLS channel through Socket2 against a scripted TLS server that
// decides how its bytes are cut into writes.
#include "core/Logger.h"
#include "core/ProgressMonitor.h"
#include "net/Socket2.h"
#include "NetPeers.h"
#include "TlsScriptedPeer.h"
#include "support/ClosedPort.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <string>

namespace ostmail {
namespace {

using nettest::TlsConn;
using nettest::TlsScriptedServer;
using testsupport::CertKey;
using testsupport::TestPki;
using Bytes = std::vector<unsigned char>;

std::string str(const DataBuffer& d) { return std::string(reinterpret_cast<const char*>(d.getData()), d.getSize()); }

// Completes the handshake with this text right behind it, then waits for the close.
TlsScriptedServer::Script greeter(const std::string& text) {
    return [text](TlsConn& c) {
        if (c.handshake(text)) c.waitForClose();
    };
}

// Writes these bytes in two writes, cut at `at`, 200 ms apart.
void sendCut(TlsConn& c, const Bytes& b, size_t at) {
    c.sendRaw(Bytes(b.begin(), b.begin() + at));
    usleep(200000);
    c.sendRaw(Bytes(b.begin() + at, b.end()));
}

class SChannelTest : public ::testing::Test {
protected:
    TestPki pki;
    CertKey localhost = pki.leaf("localhost", {"localhost"});
    nettest::Dial d;
    Socket2& sock = d.sock;
    Logger& log = d.log;
    std::string caFile = "/tmp/ostmail-chan-ca-" + std::to_string(::getpid());

    SChannelTest() { sock.setIdleTimeoutMs(3000); }
    ~SChannelTest() override { ::unlink(caFile.c_str()); }

    std::shared_ptr<SSL_CTX> ctx() { return pki.serverContext(localhost); }
    bool connectTls(uint16_t port, const char* host = "localhost", uint32_t heartbeatMs = 0,
                    ProgressMonitor* pm = nullptr) {
        return d.run(host, port, 3000, nullptr, heartbeatMs, pm, true);
    }
    bool send(const std::string& s) {
        return sock.SendBytes2(reinterpret_cast<const unsigned char*>(s.data()), static_cast<uint32_t>(s.size()), 0, 0,
                               3000, log, nullptr);
    }
    bool logged(const std::string& what) { return nettest::contains(d.text(), what); }
    SChannelWin32& channel() { return *sock.tlsChannel().impl(); }
};

// The server's Finished and its greeting arrive in one segment and the
// server then stays silent: a socket read would time out, so the greeting
// can only come from the bytes kept after the handshake.
TEST_F(SChannelTest, RecordBehindLastHandshakeMessageIsReadWithoutTheSocket) {
    TlsScriptedServer srv(pki.serverContext(localhost, {}, TLS1_2_VERSION), greeter("220 one segment\r\n"));
    ASSERT_TRUE(connectTls(srv.port())) << d.text();
    EXPECT_TRUE(sock.isTls());
    EXPECT_FALSE(sock.plainSocket().isConnected());
    bool ok = false;
    EXPECT_EQ(d.line(3000, &ok), "220 one segment\r\n");
    EXPECT_TRUE(ok);
    EXPECT_EQ(d.lacks({"extraConnectDataSize", "Secure Channel Established."}), "");
    EXPECT_FALSE(logged("Failed to read SChannelWin32 response")) << d.text();
    sock.Close(0, 1000, log, nullptr);
}

// One record cut across two writes, then two records in one write followed
// by half of a third: whole records are returned, the half waits.
TEST_F(SChannelTest, RecordsSplitAndJoinedAcrossReads) {
    TlsScriptedServer srv(ctx(), [](TlsConn& c) {
        if (!c.handshake()) return;
        c.peer().write("220 split record\r\n");
        sendCut(c, c.peer().takeOutput(), 7);
        usleep(200000);
        for (const char* l : {"250-first\r\n", "250-second\r\n", "250 third\r\n"}) c.peer().write(l);
        Bytes three = c.peer().takeOutput();
        sendCut(c, three, three.size() - 4);
        c.waitForClose();
    });
    ASSERT_TRUE(connectTls(srv.port())) << d.text();
    EXPECT_EQ(d.line(), "220 split record\r\n");
    SocketFlags flags;
    for (const char* want : {"250-first\r\n250-second\r\n", "250 third\r\n"}) {
        DataBuffer got;
        ASSERT_TRUE(sock.ReceiveBytes(got, 2048, 0, 3000, flags, log, nullptr)) << d.text();
        EXPECT_EQ(str(got), want);
    }
    sock.Close(0, 1000, log, nullptr);
}

TEST_F(SChannelTest, LargeSendGoesOutInRecordsOf16000) {
    std::vector<size_t> sizes;
    std::string received, big(40000, 'x');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 26);
    {
        TlsScriptedServer srv(ctx(), [&](TlsConn& c) {
            if (!c.handshake()) return;
            for (auto& r : c.readRecords(40000)) {
                sizes.push_back(r.size());
                received += r;
            }
            c.waitForClose();
        });
        ASSERT_TRUE(connectTls(srv.port())) << d.text();
        ASSERT_TRUE(send(big)) << d.text();
        sock.Close(0, 3000, log, nullptr);
        EXPECT_EQ(d.lacks({"Secure Channel Shutdown Complete."}), "");
    }  // the server has read everything once it is gone
    EXPECT_TRUE(received == big);
    EXPECT_EQ(sizes, (std::vector<size_t>{16000, 16000, 8000}));
}

// Records go to the socket from inside the encryption call; a socket that
// fails there must read as a failed send, not as a failed encryption.
TEST_F(SChannelTest, PeerGoneInTheMiddleOfASendFailsTheSend) {
    TlsScriptedServer srv(ctx(), [](TlsConn& c) {
        if (c.handshake()) c.receive();
    });  // closing with unread data resets the connection
    ASSERT_TRUE(connectTls(srv.port())) << d.text();
    EXPECT_FALSE(send(std::string(8 << 20, 'x')));
    EXPECT_EQ(d.lacks({"Error sending on socket", "Failed to send secure"}), "");
    EXPECT_FALSE(logged("Failed to encrypt secure send request")) << d.text();
}

TEST_F(SChannelTest, CloseAlertEndsTheSession) {
    TlsScriptedServer srv(ctx(), [](TlsConn& c) {
        if (!c.handshake()) return;
        c.peer().write("221 bye\r\n");
        c.peer().closeNotify();
        c.flush();
        c.waitForClose();
    });
    ASSERT_TRUE(connectTls(srv.port())) << d.text();
    SocketFlags flags;
    bool ok = false;
    EXPECT_EQ(d.line(3000, &ok, &flags), "221 bye\r\n");
    EXPECT_TRUE(flags.closedByPeer);
    EXPECT_FALSE(sock.IsConnected());
    d.line(3000, &ok);
    EXPECT_FALSE(ok);
    EXPECT_FALSE(send("QUIT\r\n"));
    EXPECT_EQ(d.lacks({"End of session has been signalled.", "Secure Channel Shutdown Complete.",
                     "(SendSecure) Cannot send data, not connected."}),
              "");
}

// A peer that takes the ClientHello and says nothing more: the handshake
// ends at the idle time-out, or earlier when the application aborts. Plain
// text instead of a handshake message ends it at once.
TEST_F(SChannelTest, HandshakeThatCannotFinishFails) {
    struct Case {
        bool abort;
        const char* reply;
        std::vector<std::string> log;
    } cases[] = {
        {false, "",
         {"Error reading data from server in handshake loop", "WaitForData timed out.", "Error performing handshake"}},
        {true, "",
         {"Error reading data from server in handshake loop", "socket operation aborted by application callback"}},
        {false, "220 mail.example.org ESMTP ready\r\n",
         {"The message received was unexpected or badly formatted.",
          "Aborting SSL client handshake because of fatal error"}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.log.back());
        log.ClearLog();
        TlsScriptedServer srv(ctx(), [&k](TlsConn& c) {
            c.receive();
            c.sendRaw(std::string(k.reply));
            c.waitForClose();
        });
        nettest::CountingSink sink(3);
        ProgressMonitor pm(&sink, 0);
        sock.setIdleTimeoutMs(k.abort ? 20000 : 800);
        EXPECT_FALSE(connectTls(srv.port(), "localhost", k.abort ? 100 : 0, k.abort ? &pm : nullptr));
        EXPECT_EQ(d.reason, 103u);
        EXPECT_EQ(d.lacks(k.log), "");
        EXPECT_FALSE(sock.IsConnected());
        if (k.abort) { EXPECT_GE(sink.heartbeats, 3); }
    }
}

// A chain of ten verifies with only its root trusted. Trusted nowhere and
// reached by address: the warning names the likely cause, and required
// verification turns it into status 105. A required field must match.
TEST_F(SChannelTest, CertificateChainVerificationAndRequiredFields) {
    std::vector<CertKey> cas{pki.root()};
    for (int i = 1; i <= 8; ++i) cas.push_back(pki.intermediate(cas.back(), "Level " + std::to_string(i)));
    CertKey deep = pki.leaf("localhost", {"localhost"}, &cas.back());
    struct Case {
        std::shared_ptr<SSL_CTX> ctx;
        bool trusted, required;
        const char* issuer;  // the IssuerCN required, "" for none
        const char* host;
        uint32_t reason;
        const char* issuerCn;  // of the certificate presented
        std::vector<std::string> log;
    } cases[] = {
        {pki.serverContext(deep, std::vector<CertKey>(cas.rbegin(), cas.rend() - 1)), true, true, "", "localhost", 0,
         "Level 8", {"SSL Server Certificate verified"}},
        {ctx(), false, true, "", "127.0.0.1", 105, "",
         {"(warning) SSL Server Certificate not verified", "This warning may be caused by using an IP address",
          "Failed to verify server certificate"}},
        {ctx(), true, false, "Ostmail Test CA", "localhost", 0, "Ostmail Test CA", {"SSL Server Certificate verified"}},
        {ctx(), true, false, "Someone Else", "localhost", 105, "",
         {"SSL server certificate fails to match requirement"}},
    };
    ASSERT_TRUE(pki.writeRootPem(caFile));
    for (const Case& k : cases) {
        SCOPED_TRACE(k.log.back());
        log.ClearLog();
        TlsScriptedServer srv(k.ctx, greeter("220 hi\r\n"));
        channel().setTrustFile(k.trusted ? caFile.c_str() : "");
        channel().setRequireVerifiedCert(k.required);
        channel().setRequiredCertificate(*k.issuer ? "IssuerCN" : "", k.issuer);
        EXPECT_EQ(connectTls(srv.port(), k.host), k.reason == 0) << d.text();
        EXPECT_EQ(d.reason, k.reason);
        EXPECT_EQ(d.lacks(k.log), "");
        EXPECT_EQ(logged("fails to match requirement"), k.reason && k.trusted);
        if (k.reason == 0) {
            EXPECT_TRUE(channel().serverCertVerified());
            EXPECT_EQ(sock.tlsChannel().serverCertificate()->issuerCn(), k.issuerCn);
        }
        sock.Close(0, 1000, log, nullptr);
    }
}

TEST_F(SChannelTest, HttpProxyTunnelCarriesTheHandshake) {
    std::string request;
    TlsScriptedServer proxy(ctx(), [&](TlsConn& c) {
        request = c.receiveRawUntil("\r\n\r\n");
        c.sendRaw("HTTP/1.0 200 Connection established\r\nProxy-Agent: test\r\n\r\n");
        if (c.handshake("220 through the proxy\r\n")) c.waitForClose();
    });
    SChannelWin32 ch;
    ch.setHostname("localhost");
    ch.setPort(465);
    ch.setHttpProxy("127.0.0.1", proxy.port());
    ASSERT_TRUE(ch.EstablishChannel(0, 3000, 3000, log, nullptr)) << d.text();
    DataBuffer got;
    SocketFlags flags;
    bool end = false;
    ASSERT_TRUE(ch.RecvSecure(got, 0, 3000, flags, end, log, nullptr)) << d.text();
    EXPECT_EQ(str(got), "220 through the proxy\r\n");
    EXPECT_TRUE(ch.ShutdownChannel(log));
    EXPECT_FALSE(ch.isConnected());
    EXPECT_EQ(request, "CONNECT localhost:465 HTTP/1.0\r\nUser-Agent: Velmora\r\n\r\n");

    // A proxy that hangs up instead of answering.
    TlsScriptedServer mute(ctx(), [](TlsConn& c) { c.receiveRawUntil("\r\n\r\n"); });
    ch.setHttpProxy("127.0.0.1", mute.port());
    EXPECT_FALSE(ch.EstablishChannel(0, 3000, 3000, log, nullptr));
    EXPECT_EQ(ch.lastStatus(), 102u);
    EXPECT_EQ(d.lacks({"Error receiving message from proxy server"}), "");

    // A NUL byte in the reply does not hide its blank line.
    TlsScriptedServer nul(ctx(), [&](TlsConn& c) {
        c.receiveRawUntil("\r\n\r\n");
        c.sendRaw(std::string("HTTP/1.0 200 OK\r\nX: a\0b\r\n\r\n", 27));
        if (c.handshake("220 ok\r\n")) c.waitForClose();
    });
    ch.setHttpProxy("127.0.0.1", nul.port());
    EXPECT_TRUE(ch.EstablishChannel(0, 3000, 3000, log, nullptr)) << d.text();
    EXPECT_TRUE(ch.ShutdownChannel(log));

    // A reply that never ends is cut off at its size limit, not read until
    // the time-out.
    TlsScriptedServer endless(ctx(), [](TlsConn& c) {
        c.receiveRawUntil("\r\n\r\n");
        std::string lines = "HTTP/1.0 200 OK\r\n";
        while (lines.size() < 100000) lines += "X-Padding: 0123456789\r\n";
        c.sendRaw(lines);
        c.waitForClose();
    });
    ch.setHttpProxy("127.0.0.1", endless.port());
    EXPECT_FALSE(ch.EstablishChannel(0, 3000, 60000, log, nullptr));
    EXPECT_EQ(ch.lastStatus(), 102u);
    EXPECT_EQ(d.lacks({"Proxy reply has no blank line within its size limit"}), "");
}

// An SSL 3.0 choice or a cipher the library lacks fails at the credentials
// (status 101) before any byte is sent.
TEST_F(SChannelTest, UnavailableProtocolOrCipherFailsAtCredentials) {
    testsupport::ClosedPort closed;
    uint16_t port = closed.port();
    for (auto setting : {std::make_pair("SSL 3.0", ""), std::make_pair("", "rc2")}) {
        channel().setProtocol(setting.first);
        channel().setCipher(setting.second);
        EXPECT_FALSE(connectTls(port));
        EXPECT_EQ(d.reason, 101u);
    }
    EXPECT_EQ(d.lacks({"Error creating credentials"}), "");
    channel().setCipher("");
    EXPECT_FALSE(connectTls(port));
    EXPECT_EQ(d.reason, 7u);  // a usable choice gets as far as the refused connect
}

}  // namespace
}  // namespace ostmail
