// The provider against an OpenSSL server over memory: each test decides
// which bytes reach the client in which call.
#include "platform/TlsProvider.h"
#include "support/TestTls.h"

#include <gtest/gtest.h>

#include <string>

using namespace ostmail::platform;
using namespace ostmail::testsupport;

namespace {

struct Client {
    TlsProvider& p = *tlsProvider();
    std::unique_ptr<TlsCredentials> cred;
    std::unique_ptr<TlsContext> ctx;
    Bytes extra;  // bytes left after the handshake

    explicit Client(const TlsCredentialSettings& s) { EXPECT_EQ(p.AcquireCredentials(s, cred), SEC_E_OK); }

    // Drives both sides; server output reaches the client chunk bytes at a
    // time, kept in a buffer the way the channel's handshake loop keeps it.
    uint32_t handshake(TlsServerPeer& srv, size_t chunk = 65536) {
        TlsStepResult r;
        p.InitializeContext(*cred, ctx, "localhost", nullptr, 0, r);
        Bytes wire, buf;
        for (int guard = 0; r.status == SEC_I_CONTINUE_NEEDED || r.status == SEC_E_INCOMPLETE_MESSAGE; ++guard) {
            if (r.status == SEC_E_INCOMPLETE_MESSAGE) r.output.clear();
            srv.feed(r.output);
            srv.handshake();
            Bytes out = srv.takeOutput();
            wire.insert(wire.end(), out.begin(), out.end());
            if ((wire.empty() && buf.empty()) || guard == 100000) return SEC_E_INTERNAL_ERROR;
            const size_t take = std::min(chunk, wire.size());
            buf.insert(buf.end(), wire.begin(), wire.begin() + take);
            wire.erase(wire.begin(), wire.begin() + take);
            p.InitializeContext(*cred, ctx, "localhost", buf.data(), buf.size(), r);
            if (r.status != SEC_E_INCOMPLETE_MESSAGE) buf.erase(buf.begin(), buf.end() - r.extra);
        }
        if (r.status != SEC_E_OK) return r.status;
        srv.feed(r.output);
        srv.handshake();
        extra = buf;
        extra.insert(extra.end(), wire.begin(), wire.end());
        return r.status;
    }
};

// The channel tests cover the peer's close alert, plain text for a handshake,
// the settings refused at credentials, the certificate policy and the record
// size (its sends of 16000 bytes); these are the provider's own parts.
// A mask for TLS 1.2 alone holds against a server that offers 1.3.
TEST(TlsProvider, HandshakeAtEveryChunkSizeThenRecordsAndClose) {
    TestPki pki;
    CertKey localhost = pki.leaf("localhost", {"localhost"});
    const struct { int serverMax; uint32_t mask, protocol; const char* name; } versions[] = {
        {TLS1_2_VERSION, 0, 0x800, "TLSv1.2"}, {TLS1_3_VERSION, 0, 0x2000, "TLSv1.3"},
        {0, SP_PROT_TLS1_2, 0x800, "TLSv1.2"},
    };
    for (const auto& v : versions) {
        for (size_t chunk : {size_t(1), size_t(7), size_t(1000), size_t(65536)}) {
            SCOPED_TRACE(std::to_string(v.serverMax) + " mask " + std::to_string(v.mask) + " chunk " +
                         std::to_string(chunk));
            TlsServerPeer srv(pki.serverContext(localhost, {}, v.serverMax));
            Client c({v.mask});
            ASSERT_EQ(c.handshake(srv, chunk), SEC_E_OK);
            EXPECT_TRUE(c.extra.empty());

            const unsigned char ehlo[] = "EHLO me\r\n";
            Bytes rec;
            ASSERT_EQ(c.p.EncryptMessage(*c.ctx, ehlo, sizeof ehlo - 1, rec), SEC_E_OK);
            srv.feed(rec);
            EXPECT_EQ(srv.read(), "EHLO me\r\n");

            // One record at a time: a part reports what is missing, a whole
            // one what follows it; a tampered one fails.
            for (const char* plain : {"250 ok\r\n", "second", "third"}) srv.write(plain);
            Bytes both = srv.takeOutput();
            auto lens = recordLengths(both);
            ASSERT_EQ(lens.size(), 3u);
            Bytes bad(both.begin() + lens[0] + lens[1], both.end());
            bad[bad.size() - 3] ^= 0x55;
            TlsDecryptResult d;
            c.p.DecryptMessage(*c.ctx, both.data(), 3, d);
            EXPECT_EQ(d.status, SEC_E_INCOMPLETE_MESSAGE);
            EXPECT_EQ(d.missing, 2u);
            c.p.DecryptMessage(*c.ctx, both.data(), 10, d);
            EXPECT_EQ(d.status, SEC_E_INCOMPLETE_MESSAGE);
            EXPECT_EQ(d.missing, lens[0] - 10);
            c.p.DecryptMessage(*c.ctx, both.data(), both.size(), d);
            EXPECT_EQ(d.status, SEC_E_OK);
            EXPECT_EQ(std::string(d.data.begin(), d.data.end()), "250 ok\r\n");
            EXPECT_EQ(d.extra, lens[1] + lens[2]);
            c.p.DecryptMessage(*c.ctx, both.data() + lens[0], lens[1], d);
            EXPECT_EQ(std::string(d.data.begin(), d.data.end()), "second");
            EXPECT_EQ(d.extra, 0u);

            TlsConnectionInfo info;
            ASSERT_EQ(c.p.QueryConnectionInfo(*c.ctx, info), SEC_E_OK);
            EXPECT_EQ(info.protocol, v.protocol);
            EXPECT_EQ(info.protocolName, v.name);
            EXPECT_FALSE(info.cipherName.empty());
            EXPECT_GE(info.cipherStrength, 128u);
            EXPECT_EQ(info.keyExchangeName, "ECDHE");  // the test servers offer no RSA key transport

            // The shutdown token makes the next step send the close alert.
            ASSERT_EQ(c.p.ApplyShutdownToken(*c.ctx), SEC_E_OK);
            TlsStepResult r;
            c.p.InitializeContext(*c.cred, c.ctx, "localhost", nullptr, 0, r);
            EXPECT_EQ(r.status, SEC_E_OK);
            srv.feed(r.output);
            bool closed = false;
            srv.read(&closed);
            EXPECT_TRUE(closed);
            c.p.DecryptMessage(*c.ctx, bad.data(), bad.size(), d);
            EXPECT_TRUE(secFailed(d.status));
        }
    }
}

}  // namespace
