// After a good handshake the server's bytes are still untrusted: records
// whole, corrupted, mixed with garbage or ended by an alert, key updates,
// tickets and renegotiation requests, over TLS 1.3 or 1.2; the client reads
// what it can and ends with a result, never a crash or a hang.
#include "FuzzPeer.h"
#include "core/DataBuffer.h"
#include "net/NetPeers.h"
#include "net/SocketFlags.h"

using namespace ostmail;

namespace {

// A key update the client must answer, or a new session ticket (TLS 1.3);
// a renegotiation request (TLS 1.2).
void postHandshake(nettest::TlsConn& conn, uint8_t op) {
    SSL* ssl = conn.peer().ssl();
    if (SSL_version(ssl) == TLS1_3_VERSION)
        op & 8 ? SSL_key_update(ssl, SSL_KEY_UPDATE_REQUESTED) : SSL_new_session_ticket(ssl);
    else
        SSL_renegotiate(ssl);
    SSL_do_handshake(ssl);
    conn.flush();
}

// Each step is an operation byte and a field of bytes.
void playScript(nettest::TlsConn& conn, fuzz::FuzzInput& steps) {
    while (!steps.empty()) {
        uint8_t op = steps.byte();
        std::string bytes = steps.field();
        switch (op % 5) {
            case 0: conn.peer().write(bytes); conn.flush(); break;
            case 1: conn.sendRaw(bytes); break;
            case 2: {
                conn.peer().write(bytes);
                std::vector<unsigned char> record = conn.peer().takeOutput();
                if (!record.empty()) record[(op >> 3) % record.size()] ^= 0x20;
                conn.sendRaw(record);
                break;
            }
            case 3: conn.peer().closeNotify(); conn.flush(); break;
            case 4: postHandshake(conn, op); break;
        }
    }
}

// The handshake a flight at a time, then the script.
void serve(int fd, std::shared_ptr<SSL_CTX> ctx, fuzz::FuzzInput& script) {
    nettest::TlsConn conn(fd, std::move(ctx));
    int rc = 0;
    while (rc == 0 && conn.receive() && (rc = conn.peer().handshake()) >= 0 && conn.flush()) {
    }
    if (rc == 1) playScript(conn, script);
    ::shutdown(fd, SHUT_WR);
    conn.waitForClose();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // A whole bundle named here would be parsed on every connect.
    unsetenv("SSL_CERT_FILE");
    return 0;
}

void fuzzTarget(fuzz::FuzzInput& in) {
    static const testsupport::TestPki pki;
    static const testsupport::CertKey leaf = pki.leaf("localhost", {"localhost"});
    // TLS 1.3, or at most TLS 1.2.
    static const std::shared_ptr<SSL_CTX> contexts[] = {pki.serverContext(leaf),
                                                        pki.serverContext(leaf, {}, TLS1_2_VERSION)};
    std::shared_ptr<SSL_CTX> ctx = contexts[in.byte() & 1];
    // The rest of the input is the server's script.
    fuzz::PairPeer server([&](int fd) { serve(fd, ctx, in); });
    nettest::Dial client;
    if (client.run("localhost", 465, 3000, nullptr, 0, nullptr, true)) {
        DataBuffer got;
        SocketFlags flags;
        while (got.getSize() < (1u << 20) && client.sock.ReceiveBytes(got, 4096, 0, 2000, flags, client.log, nullptr)) {
        }
        client.send("QUIT\r\n");
    }
    client.sock.Close(0, 1000, client.log, nullptr);
}
