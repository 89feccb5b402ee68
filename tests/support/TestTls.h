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

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace ostmail {
namespace testsupport {

struct CertKey {
    std::shared_ptr<X509> cert;
    std::shared_ptr<EVP_PKEY> key;
};

class TestPki {
public:
    TestPki() : root_(makeCert("Ostmail Test CA", nullptr, true, -1, 365)) {}

    const CertKey& root() const { return root_; }
    // An intermediate CA signed by issuer.
    CertKey intermediate(const CertKey& issuer, const std::string& cn) const {
        return makeCert(cn, &issuer, true, -1, 365);
    }
    // A server certificate; validity in days from now (negative = past).
    CertKey leaf(const std::string& cn, const std::vector<std::string>& dnsNames, const CertKey* issuer = nullptr,
                 long notBeforeDays = -1, long notAfterDays = 30) const {
        return makeCert(cn, issuer ? issuer : &root_, false, notBeforeDays, notAfterDays, dnsNames);
    }

    // A server certificate that signs itself.
    CertKey selfSigned(const std::string& cn, const std::vector<std::string>& dnsNames) const {
        return makeCert(cn, nullptr, false, -1, 30, dnsNames);
    }

    // A server context presenting leaf and then chain (nearest issuer
    // first). maxVersion 0 = the library's highest.
    std::shared_ptr<SSL_CTX> serverContext(const CertKey& leaf, const std::vector<CertKey>& chain = {},
                                           int maxVersion = 0) const {
        std::shared_ptr<SSL_CTX> ctx(SSL_CTX_new(TLS_server_method()), SSL_CTX_free);
        SSL_CTX_use_certificate(ctx.get(), leaf.cert.get());
        SSL_CTX_use_PrivateKey(ctx.get(), leaf.key.get());
        for (const auto& c : chain) SSL_CTX_add1_chain_cert(ctx.get(), c.cert.get());
        if (maxVersion) SSL_CTX_set_max_proto_version(ctx.get(), maxVersion);
        SSL_CTX_set_num_tickets(ctx.get(), 0);
        return ctx;
    }

    // Writes the root as PEM; returns false on failure.
    bool writeRootPem(const std::string& path) const {
        std::unique_ptr<BIO, decltype(&BIO_free)> file(BIO_new_file(path.c_str(), "w"), BIO_free);
        return file && PEM_write_bio_X509(file.get(), root_.cert.get()) == 1 && BIO_flush(file.get()) == 1;
    }

private:
    // The leaf's names (dnsNames) and purpose go in before it is signed.
    static CertKey makeCert(const std::string& cn, const CertKey* issuer, bool ca, long fromDays, long toDays,
                            const std::vector<std::string>& dnsNames = {}) {
        static long serial = 1000;
        CertKey ck{{X509_new(), X509_free}, {EVP_EC_gen("P-256"), EVP_PKEY_free}};
        X509* c = ck.cert.get();
        X509_set_version(c, 2);
        ASN1_INTEGER_set(X509_get_serialNumber(c), ++serial);
        X509_gmtime_adj(X509_getm_notBefore(c), fromDays * 86400L);
        X509_gmtime_adj(X509_getm_notAfter(c), toDays * 86400L);
        for (const auto& [field, value] : {std::pair<const char*, std::string>{"O", "Ostmail Tests"}, {"CN", cn}})
            X509_NAME_add_entry_by_txt(X509_get_subject_name(c), field, MBSTRING_ASC,
                                       reinterpret_cast<const unsigned char*>(value.c_str()), -1, -1, 0);
        X509* signer = issuer ? issuer->cert.get() : c;
        X509_set_issuer_name(c, X509_get_subject_name(signer));
        X509_set_pubkey(c, ck.key.get());
        std::string san;
        for (const auto& n : dnsNames) san += (san.empty() ? "DNS:" : ",DNS:") + n;
        // In this order; an empty value leaves the extension out.
        const std::pair<int, std::string> extensions[] = {{NID_basic_constraints, ca ? "critical,CA:TRUE" : "CA:FALSE"},
                                                          {NID_key_usage, ca ? "critical,keyCertSign,cRLSign" : ""},
                                                          {NID_subject_key_identifier, "hash"},
                                                          {NID_authority_key_identifier, issuer ? "keyid" : ""},
                                                          {NID_subject_alt_name, san},
                                                          {NID_ext_key_usage, ca ? "" : "serverAuth"}};
        X509V3_CTX ctx{};
        X509V3_set_ctx(&ctx, signer, c, nullptr, nullptr, 0);
        for (const auto& [nid, value] : extensions) {
            X509_EXTENSION* ext = value.empty() ? nullptr : X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
            if (ext) X509_add_ext(c, ext, -1);
            X509_EXTENSION_free(ext);
        }
        X509_sign(c, issuer ? issuer->key.get() : ck.key.get(), EVP_sha256());
        return ck;
    }

    CertKey root_;
};

// One server connection over memory BIOs.
class TlsServerPeer {
public:
    explicit TlsServerPeer(std::shared_ptr<SSL_CTX> ctx)
        : ssl_(SSL_new(ctx.get())), in_(BIO_new(BIO_s_mem())), out_(BIO_new(BIO_s_mem())) {
        SSL_set_bio(ssl_, in_, out_);
        SSL_set_accept_state(ssl_);
    }
    ~TlsServerPeer() { SSL_free(ssl_); }
    TlsServerPeer(const TlsServerPeer&) = delete;
    TlsServerPeer& operator=(const TlsServerPeer&) = delete;

    void feed(const void* bytes, size_t n) {
        if (n) BIO_write(in_, bytes, static_cast<int>(n));
    }
    // 1 done, 0 wants more input, -1 failed.
    int handshake() {
        const int rc = SSL_do_handshake(ssl_);
        const int err = rc == 1 ? SSL_ERROR_NONE : SSL_get_error(ssl_, rc);
        ERR_clear_error();
        return rc == 1 ? 1 : err == SSL_ERROR_WANT_READ ? 0 : -1;
    }
    // Encrypts into the output (one record per call of at most 16384).
    void write(const std::string& plain) { SSL_write(ssl_, plain.data(), static_cast<int>(plain.size())); }
    // Plaintext one SSL_read at a time: one entry per record; closed is set
    // on close_notify.
    std::vector<std::string> readRecords(bool* closed = nullptr) {
        std::vector<std::string> records;
        char buf[16384];
        int n;
        while ((n = SSL_read(ssl_, buf, sizeof buf)) > 0) records.emplace_back(buf, static_cast<size_t>(n));
        if (closed) *closed = SSL_get_error(ssl_, n) == SSL_ERROR_ZERO_RETURN;
        ERR_clear_error();
        return records;
    }
    void closeNotify() { SSL_shutdown(ssl_); }
    std::vector<unsigned char> takeOutput() {
        std::vector<unsigned char> out(BIO_ctrl_pending(out_));
        if (!out.empty()) BIO_read(out_, out.data(), static_cast<int>(out.size()));
        return out;
    }
    SSL* ssl() { return ssl_; }

private:
    SSL* ssl_ = nullptr;
    BIO* in_ = nullptr;
    BIO* out_ = nullptr;
};

}  // namespace testsupport
}  // namespace ostmail
