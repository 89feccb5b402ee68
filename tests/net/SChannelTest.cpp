// The TLS channel through Socket2 against a scripted TLS server that
// decides how its bytes are cut into writes.
#include "core/Logger.h"
#include "core/ProgressMonitor.h"
#include "net/Socket2.h"
#include "NetPeers.h"
#include "TlsScriptedPeer.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <string>

namespace ostmail {
namespace {

using nettest::logText;
using nettest::TlsConn;
using nettest::TlsScriptedServer;
using testsupport::CertKey;
using testsupport::TestPki;

bool has(const std::string& log, const std::string& what) { return log.find(what) != std::string::npos; }

class SChannelTest : public ::testing::Test {
protected:
    TestPki pki;
    CertKey localhost = pki.leaf("localhost", {"localhost"});
    Logger log;
    Socket2 sock;
    uint32_t reason = 0;

    void SetUp() override { sock.setIdleTimeoutMs(3000); }

    bool connectTls(uint16_t port, const char* host = "localhost") {
        bool aborted = false;
        return sock.Connect(host, port, true, 0, 3000, nullptr, aborted, reason, log, nullptr);
    }
    std::string line(SocketFlags& flags, bool* ok) {
        StringBuffer sb;
        *ok = sock.ReceiveUntilMatch("\r\n", sb, 0, 3000, flags, log, nullptr);
        return sb.toStdString();
    }
    bool send(const std::string& s) {
        return sock.SendBytes2(reinterpret_cast<const unsigned char*>(s.data()), static_cast<uint32_t>(s.size()), 0, 0,
                               3000, log, nullptr);
    }
};

// The server's Finished and its greeting arrive in one segment and the
// server then stays silent: a socket read would time out, so the greeting
// can only come from the bytes kept after the handshake.
TEST_F(SChannelTest, RecordBehindLastHandshakeMessageIsReadWithoutTheSocket) {
    TlsScriptedServer srv(pki.serverContext(localhost, {}, TLS1_2_VERSION), [](TlsConn& c) {
        if (c.handshake("220 one segment\r\n")) c.waitForClose();
    });
    ASSERT_TRUE(connectTls(srv.port())) << logText(log);
    EXPECT_TRUE(sock.isTls());
    EXPECT_FALSE(sock.plainSocket().isConnected());
    SocketFlags flags;
    bool ok = false;
    EXPECT_EQ(line(flags, &ok), "220 one segment\r\n");
    EXPECT_TRUE(ok);
    std::string text = logText(log);
    EXPECT_TRUE(has(text, "extraConnectDataSize")) << text;
    EXPECT_TRUE(has(text, "Secure Channel Established.")) << text;
    EXPECT_FALSE(has(text, "Failed to read SChannelWin32 response")) << text;
    sock.Close(0, 1000, log, nullptr);
}

// One record cut across two writes, then two records in one write followed
// by half of a third: whole records are returned, the half waits.
TEST_F(SChannelTest, RecordsSplitAndJoinedAcrossReads) {
    TlsScriptedServer srv(pki.serverContext(localhost), [](TlsConn& c) {
        if (!c.handshake()) return;
        c.peer().write("220 split record\r\n");
        auto rec = c.peer().takeOutput();
        c.sendRaw(std::vector<unsigned char>(rec.begin(), rec.begin() + 7));
        usleep(200000);
        c.sendRaw(std::vector<unsigned char>(rec.begin() + 7, rec.end()));
        usleep(200000);
        c.peer().write("250-first\r\n");
        c.peer().write("250-second\r\n");
        c.peer().write("250 third\r\n");
        auto three = c.peer().takeOutput();
        size_t cut = three.size() - 4;
        c.sendRaw(std::vector<unsigned char>(three.begin(), three.begin() + cut));
        usleep(200000);
        c.sendRaw(std::vector<unsigned char>(three.begin() + cut, three.end()));
        c.waitForClose();
    });
    ASSERT_TRUE(connectTls(srv.port())) << logText(log);
    SocketFlags flags;
    bool ok = false;
    EXPECT_EQ(line(flags, &ok), "220 split record\r\n");
    DataBuffer got;
    ASSERT_TRUE(sock.ReceiveBytes(got, 2048, 0, 3000, flags, log, nullptr)) << logText(log);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(got.getData()), got.getSize()), "250-first\r\n250-second\r\n");
    got.clear();
    ASSERT_TRUE(sock.ReceiveBytes(got, 2048, 0, 3000, flags, log, nullptr)) << logText(log);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(got.getData()), got.getSize()), "250 third\r\n");
    sock.Close(0, 1000, log, nullptr);
}

TEST_F(SChannelTest, LargeSendGoesOutInRecordsOf16000) {
    std::vector<size_t> sizes;
    std::string received;
    std::string big(40000, 'x');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 26);
    {
        TlsScriptedServer srv(pki.serverContext(localhost), [&](TlsConn& c) {
            if (!c.handshake()) return;
            for (auto& r : c.readRecords(40000)) {
                sizes.push_back(r.size());
                received += r;
            }
            c.waitForClose();
        });
        ASSERT_TRUE(connectTls(srv.port())) << logText(log);
        ASSERT_TRUE(send(big)) << logText(log);
        sock.Close(0, 3000, log, nullptr);
        EXPECT_TRUE(has(logText(log), "Secure Channel Shutdown Complete."));
    }  // the server has read everything once it is gone
    EXPECT_TRUE(received == big);
    EXPECT_EQ(sizes, (std::vector<size_t>{16000, 16000, 8000}));
}

// Records go to the socket from inside the encryption call; a socket that
// fails there must read as a failed send, not as a failed encryption.
TEST_F(SChannelTest, PeerGoneInTheMiddleOfASendFailsTheSend) {
    TlsScriptedServer srv(pki.serverContext(localhost), [](TlsConn& c) {
        if (c.handshake()) c.receive();
    });  // closing with unread data resets the connection
    ASSERT_TRUE(connectTls(srv.port())) << logText(log);
    EXPECT_FALSE(send(std::string(8 << 20, 'x')));
    std::string text = logText(log);
    EXPECT_TRUE(has(text, "Error sending on socket")) << text;
    EXPECT_TRUE(has(text, "Failed to send secure")) << text;
    EXPECT_FALSE(has(text, "Failed to encrypt secure send request")) << text;
}

TEST_F(SChannelTest, CloseAlertEndsTheSession) {
    TlsScriptedServer srv(pki.serverContext(localhost), [](TlsConn& c) {
        if (!c.handshake()) return;
        c.peer().write("221 bye\r\n");
        c.peer().closeNotify();
        c.flush();
        c.waitForClose();
    });
    ASSERT_TRUE(connectTls(srv.port())) << logText(log);
    SocketFlags flags;
    bool ok = false;
    EXPECT_EQ(line(flags, &ok), "221 bye\r\n");
    EXPECT_TRUE(flags.closedByPeer);
    EXPECT_FALSE(sock.IsConnected());
    std::string text = logText(log);
    EXPECT_TRUE(has(text, "End of session has been signalled.")) << text;
    EXPECT_TRUE(has(text, "Secure Channel Shutdown Complete.")) << text;
    line(flags, &ok);
    EXPECT_FALSE(ok);
    EXPECT_FALSE(send("QUIT\r\n"));
    EXPECT_TRUE(has(logText(log), "(SendSecure) Cannot send data, not connected.")) << logText(log);
}

// A peer that takes the ClientHello and says nothing more: the handshake
// ends at the idle time-out, or earlier when the application aborts.
TEST_F(SChannelTest, StalledHandshakeTimesOutOrIsAborted) {
    for (bool abort : {false, true}) {
        SCOPED_TRACE(abort);
        log.ClearLog();
        TlsScriptedServer srv(pki.serverContext(localhost), [](TlsConn& c) {
            c.receive();
            c.waitForClose();
        });
        nettest::CountingSink sink(3);
        ProgressMonitor pm(&sink, 0);
        bool aborted = false;
        sock.setIdleTimeoutMs(abort ? 20000 : 800);
        EXPECT_FALSE(sock.Connect("localhost", srv.port(), true, abort ? 100 : 0, 3000, nullptr, aborted, reason,
                                  log, abort ? &pm : nullptr));
        EXPECT_EQ(reason, 103u);
        std::string text = logText(log);
        EXPECT_TRUE(has(text, "Error reading data from server in handshake loop")) << text;
        EXPECT_FALSE(sock.IsConnected());
        if (abort) {
            EXPECT_GE(sink.heartbeats, 3);
            EXPECT_TRUE(has(text, "socket operation aborted by application callback")) << text;
        } else {
            EXPECT_TRUE(has(text, "WaitForData timed out.")) << text;
            EXPECT_TRUE(has(text, "Error performing handshake")) << text;
        }
    }
}

TEST_F(SChannelTest, PlainTextInsteadOfHandshakeFails) {
    TlsScriptedServer srv(pki.serverContext(localhost), [](TlsConn& c) {
        c.receive();
        c.sendRaw("220 mail.example.org ESMTP ready\r\n");
        c.waitForClose();
    });
    EXPECT_FALSE(connectTls(srv.port()));
    EXPECT_EQ(reason, 103u);
    std::string text = logText(log);
    EXPECT_TRUE(has(text, "The message received was unexpected or badly formatted.")) << text;
    EXPECT_TRUE(has(text, "Aborting SSL client handshake because of fatal error")) << text;
    EXPECT_FALSE(send("EHLO x\r\n"));
}

class SChannelCertTest : public SChannelTest {
protected:
    std::string caFile;
    void SetUp() override {
        SChannelTest::SetUp();
        char tmpl[] = "/tmp/ostmail-chan-ca-XXXXXX";
        int fd = mkstemp(tmpl);
        ASSERT_GE(fd, 0);
        ::close(fd);
        caFile = tmpl;
        ASSERT_TRUE(pki.writeRootPem(caFile));
    }
    void TearDown() override { unlink(caFile.c_str()); }
    SChannelWin32& channel() { return *sock.tlsChannel().impl(); }
};

TEST_F(SChannelCertTest, ChainOfTenVerifiesWithTheRootTrusted) {
    std::vector<CertKey> cas{pki.root()};
    for (int i = 1; i <= 8; ++i) cas.push_back(pki.intermediate(cas.back(), "Level " + std::to_string(i)));
    CertKey leaf = pki.leaf("localhost", {"localhost"}, &cas.back());
    std::vector<CertKey> chain(cas.rbegin(), cas.rend() - 1);
    TlsScriptedServer srv(pki.serverContext(leaf, chain), [](TlsConn& c) {
        if (c.handshake("220 deep\r\n")) c.waitForClose();
    });
    channel().setTrustFile(caFile.c_str());
    channel().setRequireVerifiedCert(true);
    ASSERT_TRUE(connectTls(srv.port())) << logText(log);
    EXPECT_TRUE(channel().serverCertVerified());
    EXPECT_TRUE(has(logText(log), "SSL Server Certificate verified"));
    EXPECT_EQ(sock.tlsChannel().serverCertificate()->issuerCn(), "Level 8");
    sock.Close(0, 1000, log, nullptr);
}

// Trusted nowhere and reached by address: the warning names the likely
// cause, and required verification turns it into status 105.
TEST_F(SChannelCertTest, UnverifiedCertificateFailsWhenVerificationIsRequired) {
    TlsScriptedServer srv(pki.serverContext(localhost), [](TlsConn& c) {
        if (c.handshake("220 hi\r\n")) c.waitForClose();
    });
    channel().setRequireVerifiedCert(true);
    EXPECT_FALSE(connectTls(srv.port(), "127.0.0.1"));
    EXPECT_EQ(reason, 105u);
    std::string text = logText(log);
    EXPECT_TRUE(has(text, "(warning) SSL Server Certificate not verified")) << text;
    EXPECT_TRUE(has(text, "This warning may be caused by using an IP address")) << text;
    EXPECT_TRUE(has(text, "Failed to verify server certificate")) << text;
}

TEST_F(SChannelCertTest, RequiredCertificateFieldMustMatch) {
    for (const char* want : {"Ostmail Test CA", "Someone Else"}) {
        SCOPED_TRACE(want);
        log.ClearLog();
        TlsScriptedServer srv(pki.serverContext(localhost), [](TlsConn& c) {
            if (c.handshake("220 hi\r\n")) c.waitForClose();
        });
        channel().setTrustFile(caFile.c_str());
        channel().setRequiredCertificate("IssuerCN", want);
        bool ok = connectTls(srv.port());
        bool match = std::string(want) == "Ostmail Test CA";
        EXPECT_EQ(ok, match) << logText(log);
        EXPECT_EQ(has(logText(log), "SSL server certificate fails to match requirement"), !match);
        sock.Close(0, 1000, log, nullptr);
    }
}

TEST_F(SChannelTest, HttpProxyTunnelCarriesTheHandshake) {
    std::string request;
    TlsScriptedServer proxy(pki.serverContext(localhost), [&](TlsConn& c) {
        request = c.receiveRawUntil("\r\n\r\n");
        c.sendRaw("HTTP/1.0 200 Connection established\r\nProxy-Agent: test\r\n\r\n");
        if (c.handshake("220 through the proxy\r\n")) c.waitForClose();
    });
    SChannelWin32 ch;
    ch.setHostname("localhost");
    ch.setPort(465);
    ch.setHttpProxy("127.0.0.1", proxy.port());
    ASSERT_TRUE(ch.EstablishChannel(0, 3000, 3000, log, nullptr)) << logText(log);
    DataBuffer got;
    SocketFlags flags;
    bool end = false;
    ASSERT_TRUE(ch.RecvSecure(got, 0, 3000, flags, end, log, nullptr)) << logText(log);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(got.getData()), got.getSize()), "220 through the proxy\r\n");
    EXPECT_TRUE(ch.ShutdownChannel(log));
    EXPECT_FALSE(ch.isConnected());
    EXPECT_EQ(request, "CONNECT localhost:465 HTTP/1.0\r\nUser-Agent: Velmora\r\n\r\n");

    // A proxy that hangs up instead of answering.
    TlsScriptedServer mute(pki.serverContext(localhost), [](TlsConn& c) { c.receiveRawUntil("\r\n\r\n"); });
    ch.setHttpProxy("127.0.0.1", mute.port());
    EXPECT_FALSE(ch.EstablishChannel(0, 3000, 3000, log, nullptr));
    EXPECT_EQ(ch.lastStatus(), 102u);
    EXPECT_TRUE(has(logText(log), "Error receiving message from proxy server"));
}

// An SSL 3.0 choice or a cipher the library lacks fails at the credentials
// (status 101) before any byte is sent.
TEST_F(SChannelTest, UnavailableProtocolOrCipherFailsAtCredentials) {
    uint16_t port = nettest::closedPort();
    for (auto setting : {std::make_pair("SSL 3.0", ""), std::make_pair("", "rc2")}) {
        sock.tlsChannel().impl()->setProtocol(setting.first);
        sock.tlsChannel().impl()->setCipher(setting.second);
        EXPECT_FALSE(connectTls(port));
        EXPECT_EQ(reason, 101u);
    }
    EXPECT_TRUE(has(logText(log), "Error creating credentials"));
    sock.tlsChannel().impl()->setCipher("");
    EXPECT_FALSE(connectTls(port));
    EXPECT_EQ(reason, 7u);  // a usable choice gets as far as the refused connect
}

}  // namespace
}  // namespace ostmail
