// After a good handshake the server's bytes are still untrusted: records
// whole, corrupted, mixed with garbage or ended by an alert; the client
// reads what it can and ends with a result, never a crash or a hang.
#include "FuzzInput.h"
#include "core/DataBuffer.h"
#include "net/SocketFlags.h"
#include "net/TlsScriptedPeer.h"

#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>
#include <string>

using namespace ostmail;

namespace {

std::shared_ptr<SSL_CTX> serverContext() {
    static testsupport::TestPki pki;
    static std::shared_ptr<SSL_CTX> ctx = pki.serverContext(pki.leaf("localhost", {"localhost"}));
    return ctx;
}

// Each step is an operation byte and a field of bytes.
void playScript(nettest::TlsConn& conn, const std::string& script) {
    fuzz::FuzzInput steps(reinterpret_cast<const uint8_t*>(script.data()), script.size());
    while (!steps.empty()) {
        uint8_t op = steps.byte();
        std::string bytes = steps.field();
        switch (op % 4) {
            case 0: conn.peer().write(bytes); conn.flush(); break;
            case 1: conn.sendRaw(bytes); break;
            case 2: {
                conn.peer().write(bytes);
                std::vector<unsigned char> record = conn.peer().takeOutput();
                if (!record.empty()) record[(op >> 2) % record.size()] ^= 0x20;
                conn.sendRaw(record);
                break;
            }
            case 3: conn.peer().closeNotify(); conn.flush(); break;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // A whole bundle named here would be parsed on every connect.
    unsetenv("SSL_CERT_FILE");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string script(reinterpret_cast<const char*>(data), size);
    std::shared_ptr<SSL_CTX> ctx = serverContext();
    nettest::PeerThread server([&](int fd) {
        nettest::TlsConn conn(fd, ctx);
        if (conn.handshake()) playScript(conn, script);
        ::shutdown(fd, SHUT_WR);
        conn.waitForClose();
    });
    nettest::Dial client;
    if (client.run("localhost", server.port(), 3000, nullptr, 0, nullptr, true)) {
        DataBuffer got;
        SocketFlags flags;
        while (got.getSize() < (1u << 20) && client.sock.ReceiveBytes(got, 4096, 0, 2000, flags, client.log, nullptr)) {
        }
        client.sock.SendBytes2(reinterpret_cast<const unsigned char*>("QUIT\r\n"), 6, 0, 0, 2000, client.log, nullptr);
    }
    client.sock.Close(0, 1000, client.log, nullptr);
    if (getenv("OSTMAIL_FUZZ_SHOW_LOG")) fprintf(stderr, "%s\n", client.text().c_str());  // for reading a repro
    return 0;
}
