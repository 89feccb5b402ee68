#pragma once
// TLS helpers for tests: certificates made on the fly (a CA, leaves for
// chosen names and validity, chains of any length) and a server-side TLS
// peer over OpenSSL memory BIOs, so that a test decides exactly which
// bytes go out in which write.
//
//   TestPki pki;                                  // CA "Ostmail Test CA"
//   auto leaf = pki.leaf("localhost", {"localhost"});
//   TlsServerPeer srv(pki.serverContext(leaf));
//   srv.feed(clientBytes); srv.handshake(); auto out = srv.takeOutput();

#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <memory>
#include <string>
#include <vector>

namespace ostmail {
namespace testsupport {

struct CertKey {
    std::shared_ptr<X509> cert;
    std::shared_ptr<EVP_PKEY> key;
};

class TestPki {
public:
    TestPki();  // a fresh self-signed root CA

    const CertKey& root() const { return root_; }
    // An intermediate CA signed by issuer.
    CertKey intermediate(const CertKey& issuer, const std::string& cn) const;
    // A server certificate; validity in days from now (negative = past).
    CertKey leaf(const std::string& cn, const std::vector<std::string>& dnsNames, const CertKey* issuer = nullptr,
                 long notBeforeDays = -1, long notAfterDays = 30) const;

    // A server context presenting leaf and then chain (nearest issuer
    // first). maxVersion 0 = the library's highest.
    std::shared_ptr<SSL_CTX> serverContext(const CertKey& leaf, const std::vector<CertKey>& chain = {},
                                           int maxVersion = 0) const;

    // Writes the root as PEM; returns false on failure.
    bool writeRootPem(const std::string& path) const;

private:
    CertKey root_;
};

// One server connection over memory BIOs.
class TlsServerPeer {
public:
    explicit TlsServerPeer(std::shared_ptr<SSL_CTX> ctx);
    ~TlsServerPeer();
    TlsServerPeer(const TlsServerPeer&) = delete;
    TlsServerPeer& operator=(const TlsServerPeer&) = delete;

    void feed(const void* bytes, size_t n);
    void feed(const std::vector<unsigned char>& b) { feed(b.data(), b.size()); }
    // 1 done, 0 wants more input, -1 failed.
    int handshake();
    // Encrypts into the output (one record per call of at most 16384).
    void write(const std::string& plain);
    // Everything decryptable from what was fed; closed is set on close_notify.
    std::string read(bool* closed = nullptr);
    // Plaintext one SSL_read at a time: one entry per record.
    std::vector<std::string> readRecords(bool* closed = nullptr);
    void closeNotify();
    std::vector<unsigned char> takeOutput();
    SSL* ssl() { return ssl_; }

private:
    SSL* ssl_ = nullptr;
    BIO* in_ = nullptr;
    BIO* out_ = nullptr;
};

// Record lengths (header included) found in a byte stream of records.
std::vector<size_t> recordLengths(const std::vector<unsigned char>& bytes);

}  // namespace testsupport
}  // namespace ostmail
