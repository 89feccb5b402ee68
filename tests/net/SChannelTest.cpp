// The TLS channel through Socket2 against a scripted TLS server that
// decides how its bytes are cut into writes.
#include "NetPeers.h"
#include "net/HttpConnect.h"

#include <future>

using namespace ostmail;
using namespace ostmail::nettest;

namespace {

// The UTC date of that many days ago, as certificates' validity is told.
std::string daysAgo(int days) {
    time_t t = time(nullptr) - days * 86400L;
    struct tm tm {};
    gmtime_r(&t, &tm);
    char text[16];
    strftime(text, sizeof text, "%Y-%m-%d", &tm);
    return text;
}

class SChannelTest : public ::testing::Test {
protected:
    testsupport::TestPki pki;
    testsupport::CertKey localhost = pki.leaf("localhost", {"localhost"});
    Dial d;
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
};

// The server's first flight comes in two writes. Its Finished and its
// greeting arrive in one segment and the server then waits for the client:
// a socket read would time out, so the greeting can only come from the
// bytes kept after the handshake. Then one record cut across two writes,
// and two records in one write followed by half of a third: whole records
// are returned, the half waits. A large send goes out in records of 16000
// bytes. The server's close alert ends the session, and ours answers it.
TEST_F(SChannelTest, RecordsHoweverTheyAreCutThenCloseAlert) {
    std::vector<size_t> sizes;
    std::string received;
    bool answered = false;
    const std::string big = pattern(40000);
    {
        TlsScriptedServer srv(pki.serverContext(localhost, {}, TLS1_2_VERSION), [&](TlsConn& c) {
            if (!c.handshake("220 one segment\r\n", 100) || c.readRecords(6).empty()) return;
            c.peer().write("250 split record\r\n");
            c.sendCut(c.peer().takeOutput(), 7);
            usleep(200000);
            for (const char* l : {"250-first\r\n", "250-second\r\n", "250 third\r\n"}) c.peer().write(l);
            auto three = c.peer().takeOutput();
            c.sendCut(three, three.size() - 4);
            for (auto& r : c.readRecords(big.size())) {
                sizes.push_back(r.size());
                received += r;
            }
            c.peer().write("221 bye\r\n");
            c.peer().closeNotify();
            c.flush();
            if (c.receive()) c.peer().readRecords(&answered);
        });
        ASSERT_TRUE(connectTls(srv.port())) << d.text();
        EXPECT_TRUE(sock.isTls());
        EXPECT_FALSE(sock.plainSocket().isConnected());
        bool ok = false;
        EXPECT_EQ(d.line(3000, &ok), "220 one segment\r\n");
        EXPECT_TRUE(ok);
        EXPECT_EQ(d.lacks({"extraConnectDataSize", "Secure Channel Established."}), "");
        EXPECT_FALSE(d.logHas("Failed to read SChannelWin32 response")) << d.text();
        ASSERT_TRUE(d.send("EHLO x\r\n"));
        EXPECT_EQ(d.line(), "250 split record\r\n");
        SocketFlags flags;
        for (const char* want : {"250-first\r\n250-second\r\n", "250 third\r\n"}) {
            DataBuffer got;
            ASSERT_TRUE(sock.ReceiveBytes(got, 2048, 0, 3000, flags, log, nullptr)) << d.text();
            EXPECT_EQ(str(got), want);
        }
        ASSERT_TRUE(d.send(big)) << d.text();
        EXPECT_EQ(d.line(3000, &ok, &flags), "221 bye\r\n");
        EXPECT_TRUE(flags.closedByPeer);
        EXPECT_FALSE(sock.IsConnected());
        d.line(3000, &ok);
        EXPECT_FALSE(ok);
        EXPECT_FALSE(d.send("QUIT\r\n"));
        EXPECT_EQ(d.lacks({"End of session has been signalled.", "Secure Channel Shutdown Complete.",
                           "(SendSecure) Cannot send data, not connected."}),
                  "");
    }  // the server has read everything once it is gone
    EXPECT_TRUE(received == big);
    EXPECT_EQ(sizes, (std::vector<size_t>{16000, 16000, 8000}));
    EXPECT_TRUE(answered) << "no close alert in reply";
}

// A record that fails its integrity check fails the read at once: it is
// not taken for the start of one still to come.
TEST_F(SChannelTest, TamperedRecordFailsTheRead) {
    TlsScriptedServer srv(ctx(), [](TlsConn& c) {
        if (!c.handshake()) return;
        c.peer().write("220 tampered\r\n");
        std::vector<unsigned char> record = c.peer().takeOutput();
        record[record.size() - 3] ^= 0x55;
        c.sendRaw(record);
        c.waitForClose();
    });
    ASSERT_TRUE(connectTls(srv.port())) << d.text();
    bool ok = true;
    EXPECT_EQ(d.line(3000, &ok), "");
    EXPECT_FALSE(ok);
    EXPECT_EQ(d.lacks({"Error in DecryptMessage (2)"}), "");
}

// A peer that takes the ClientHello and says nothing more: the handshake
// ends at the idle time-out, or earlier when the application aborts. Plain
// text instead of a handshake message ends it at once.
TEST_F(SChannelTest, HandshakeThatCannotFinishFails) {
    const struct { bool abort; const char* reply; std::vector<std::string> log; } cases[] = {
        {false, "",
         {"Error reading data from server in handshake loop", "WaitForData timed out.", "Error performing handshake"}},
        {true, "",
         {"Error reading data from server in handshake loop", "socket operation aborted by application callback"}},
        {false, "220 mail.example.org ESMTP ready\r\n",
         {"The message received was unexpected or badly formatted.",
          "Aborting SSL client handshake because of fatal error"}},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.log.back());
        log.ClearLog();
        TlsScriptedServer srv(ctx(), [&k](TlsConn& c) {
            c.receive();
            c.sendRaw(std::string(k.reply));
            c.waitForClose();
        });
        Monitor sink(3, 0);
        sock.setIdleTimeoutMs(k.abort ? 20000 : 800);
        EXPECT_FALSE(connectTls(srv.port(), "localhost", k.abort ? 100 : 0, k.abort ? &sink.pm : nullptr));
        EXPECT_EQ(d.reason, 103u);
        EXPECT_EQ(d.lacks(k.log), "");
        EXPECT_FALSE(sock.IsConnected());
        if (k.abort) { EXPECT_GE(sink.heartbeats, 3); }
    }
}

// The provider's policy through the channel: trust comes before the name
// (an untrusted root has no name of its own), expiry before the name; a
// chain of ten verifies from the root, one with a gap does not. Trusted
// nowhere and reached by address: the warning names the likely cause, and
// required verification turns it into status 105. A required field must
// match.
TEST_F(SChannelTest, CertificateVerificationAndRequiredFields) {
    std::vector<testsupport::CertKey> cas{pki.root()};
    for (int i = 1; i <= 8; ++i) cas.push_back(pki.intermediate(cas.back(), "Intermediate " + std::to_string(i)));
    const testsupport::CertKey deep = pki.leaf("localhost", {"localhost"}, &cas.back());
    const testsupport::CertKey expired = pki.leaf("localhost", {"localhost"}, nullptr, -60, -30);
    const testsupport::CertKey self = pki.selfSigned("localhost", {"localhost"});
    const std::string refused = "Server certificate refused: ";
    std::vector<testsupport::CertKey> none, chain(cas.rbegin(), cas.rend() - 1), gap = chain;  // root left out
    gap.erase(gap.begin() + 3);
    const std::string verified = "SSL Server Certificate verified";
    const struct {
        const testsupport::CertKey& leaf;
        const std::vector<testsupport::CertKey>& chain;
        bool trusted, required;
        const char *field, *value, *host;  // the required field, "" for none
        uint32_t reason;
        std::vector<std::string> log;
        const char* absent;
    } cases[] = {
        {localhost, none, true, true, "SubjectDN", "CN=localhost,O=Ostmail Tests", "localhost", 0, {verified},
         "fails to match requirement"},
        {localhost, none, false, true, "", "", "127.0.0.1", 105,
         {"(warning) SSL Server Certificate not verified", "This warning may be caused by using an IP address",
          refused + "issued by an authority not trusted here (Ostmail Test CA)", "Failed to verify server certificate"},
         "CERT_E_CN_NO_MATCH"},
        // The reason in words: the worst problem, as the policy ranks them.
        {localhost, none, true, true, "", "", "127.0.0.1", 105,
         {"CERT_E_CN_NO_MATCH", refused + "certificate for localhost, not 127.0.0.1"}, "CERT_E_EXPIRED"},
        {self, none, true, true, "", "", "localhost", 105, {"(warning)", refused + "self-signed"}, "CERT_E_CN"},
        {expired, none, true, true, "", "", "localhost", 105, {"CERT_E_EXPIRED", refused + "expired " + daysAgo(30)},
         "CERT_E_CN"},
        {localhost, none, true, false, "IssuerDN", "CN=Ostmail Test CA,O=Ostmail Tests", "127.0.0.1", 0,
         {"CERT_E_CN_NO_MATCH"}, "fails to match requirement"},
        {localhost, none, true, false, "IssuerCN", "Someone Else", "localhost", 105,
         {verified, "SSL server certificate fails to match requirement"}, "not verified"},
        {expired, none, true, false, "SubjectCN", "localhost", "127.0.0.1", 0, {"CERT_E_EXPIRED"},
         "CERT_E_CN_NO_MATCH"},
        {deep, chain, true, true, "IssuerCN", "Intermediate 8", "localhost", 0, {verified}, "not verified"},
        {deep, gap, true, false, "", "", "localhost", 0, {"(warning) SSL Server Certificate not verified"}, "CERT_E_"},
    };
    ASSERT_TRUE(pki.writeRootPem(caFile));
    for (const auto& k : cases) {
        SCOPED_TRACE(k.log.back());
        log.ClearLog();
        TlsScriptedServer srv(pki.serverContext(k.leaf, k.chain), [](TlsConn& c) {
            if (c.handshake("220 hi\r\n")) c.waitForClose();
        });
        d.channel().setTrustFile(k.trusted ? caFile.c_str() : "");
        d.channel().setRequireVerifiedCert(k.required);
        d.channel().setRequiredCertificate(k.field, k.value);
        EXPECT_EQ(connectTls(srv.port(), k.host), k.reason == 0) << d.text();
        EXPECT_EQ(d.reason, k.reason);
        EXPECT_EQ(d.lacks(k.log), "");
        EXPECT_FALSE(d.logHas(k.absent)) << d.text();
        EXPECT_EQ(d.channel().serverCertVerified(), k.log[0] == verified);
        sock.Close(0, 1000, log, nullptr);
    }
}

// The CONNECT request goes out, then the handshake runs through the tunnel;
// a NUL byte in the reply does not hide its blank line. A reply that never
// ends fails with status 102 at its size limit, not at the time-out. A
// space in the host name would split the request line.
TEST_F(SChannelTest, HttpProxyTunnelCarriesTheHandshake) {
    std::string endless = "HTTP/1.0 200 OK\r\n";
    while (endless.size() < 100000) endless += "X-Padding: 0123456789\r\n";
    const std::string connect = "CONNECT localhost:465 HTTP/1.0\r\nUser-Agent: Velmora\r\n\r\n";
    const struct { std::string reply; const char* failure; } cases[] = {
        {std::string("HTTP/1.0 200 OK\r\nX: a\0b\r\n\r\n", 27), ""},
        {endless, "Proxy reply has no blank line within its size limit"},
        {"HTTP/1.0 200 OK\r\nX: " + std::string(65513, 'x') + "\r\n\r\n", "within its size limit"},  // 64 KiB + 1
    };
    auto tickets = ctx();
    SSL_CTX_set_num_tickets(tickets.get(), 2);  // records without data, read before the greeting
    for (const auto& k : cases) {
        SCOPED_TRACE(k.reply.substr(0, 20));
        log.ClearLog();
        std::promise<std::string> request;  // written by the proxy's thread
        TlsScriptedServer proxy(tickets, [&](TlsConn& c) {
            request.set_value(c.receiveRaw(connect.size()));
            c.sendRaw(k.reply);
            if (!*k.failure && c.handshake()) {
                usleep(200000);  // the tickets come in a read of their own
                c.peer().write("220 through the proxy\r\n");
                c.flush();
            }
            c.waitForClose();
        });
        SChannelWin32 ch;
        ch.setHostname("localhost");
        ch.setPort(465);
        ch.setHttpProxy("127.0.0.1", proxy.port());
        ASSERT_EQ(ch.EstablishChannel(0, 3000, 60000, log, nullptr), !*k.failure) << d.text();
        EXPECT_EQ(request.get_future().get(), connect);
        if (*k.failure) {
            EXPECT_EQ(ch.lastStatus(), 102u);
            EXPECT_EQ(d.lacks({k.failure}), "");
            continue;
        }
        DataBuffer got;
        SocketFlags flags;
        bool end = false;
        ASSERT_TRUE(ch.RecvSecure(got, 0, 3000, flags, end, log, nullptr)) << d.text();
        EXPECT_EQ(str(got), "220 through the proxy\r\n");
        EXPECT_TRUE(ch.ShutdownChannel(log));
        EXPECT_FALSE(ch.isConnected());
    }
    VelmoraSocket unconnected;
    EXPECT_FALSE(HttpConnect::tunnel(unconnected, "local host", 465, "", "", 0, log, nullptr));
    EXPECT_EQ(d.lacks({"The host name cannot go into a CONNECT request"}), "");
}

// An SSL 3.0 choice or a cipher the library lacks fails at the credentials
// (status 101) before any byte is sent.
TEST_F(SChannelTest, UnavailableProtocolOrCipherFailsAtCredentials) {
    testsupport::ClosedPort closed;
    // A usable choice gets as far as the refused connect.
    const struct { const char *protocol, *cipher; uint32_t reason; } cases[] = {
        {"SSL 3.0", "", 101}, {"", "rc2", 101}, {"", "", 7}};
    for (const auto& k : cases) {
        d.channel().setProtocol(k.protocol);
        d.channel().setCipher(k.cipher);
        EXPECT_FALSE(connectTls(closed.port()));
        EXPECT_EQ(d.reason, k.reason) << k.protocol << k.cipher;
    }
    EXPECT_EQ(d.lacks({"Error creating credentials"}), "");
}

}  // namespace
