#include "support/TestTls.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <cstdio>

namespace ostmail {
namespace testsupport {
namespace {

void addExt(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    if (ext) {
        X509_add_ext(cert, ext, -1);
        X509_EXTENSION_free(ext);
    }
}

// The leaf's names (dnsNames) and purpose go in before it is signed.
CertKey makeCert(const std::string& cn, const CertKey* issuer, bool ca, long fromDays, long toDays,
                 const std::vector<std::string>& dnsNames = {}) {
    static long serial = 1000;
    CertKey ck;
    ck.key.reset(EVP_EC_gen("P-256"), EVP_PKEY_free);
    ck.cert.reset(X509_new(), X509_free);
    X509* c = ck.cert.get();
    X509_set_version(c, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(c), ++serial);
    X509_gmtime_adj(X509_getm_notBefore(c), fromDays * 86400L);
    X509_gmtime_adj(X509_getm_notAfter(c), toDays * 86400L);
    X509_NAME* name = X509_get_subject_name(c);
    for (const auto& [field, value] : {std::pair<const char*, std::string>{"O", "Ostmail Tests"}, {"CN", cn}})
        X509_NAME_add_entry_by_txt(name, field, MBSTRING_ASC, reinterpret_cast<const unsigned char*>(value.c_str()),
                                   -1, -1, 0);
    X509* signer = issuer ? issuer->cert.get() : c;
    X509_set_issuer_name(c, X509_get_subject_name(signer));
    X509_set_pubkey(c, ck.key.get());
    addExt(c, signer, NID_basic_constraints, ca ? "critical,CA:TRUE" : "CA:FALSE");
    if (ca) addExt(c, signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    addExt(c, signer, NID_subject_key_identifier, "hash");
    if (issuer) addExt(c, signer, NID_authority_key_identifier, "keyid");
    std::string san;
    for (const auto& n : dnsNames) san += (san.empty() ? "DNS:" : ",DNS:") + n;
    if (!san.empty()) addExt(c, signer, NID_subject_alt_name, san.c_str());
    if (!ca) addExt(c, signer, NID_ext_key_usage, "serverAuth");
    X509_sign(c, issuer ? issuer->key.get() : ck.key.get(), EVP_sha256());
    return ck;
}

}  // namespace

TestPki::TestPki() { root_ = makeCert("Ostmail Test CA", nullptr, true, -1, 365); }

CertKey TestPki::intermediate(const CertKey& issuer, const std::string& cn) const {
    return makeCert(cn, &issuer, true, -1, 365);
}

CertKey TestPki::leaf(const std::string& cn, const std::vector<std::string>& dnsNames, const CertKey* issuer,
                      long notBeforeDays, long notAfterDays) const {
    return makeCert(cn, issuer ? issuer : &root_, false, notBeforeDays, notAfterDays, dnsNames);
}

std::shared_ptr<SSL_CTX> TestPki::serverContext(const CertKey& leaf, const std::vector<CertKey>& chain,
                                                int maxVersion) const {
    std::shared_ptr<SSL_CTX> ctx(SSL_CTX_new(TLS_server_method()), SSL_CTX_free);
    SSL_CTX_use_certificate(ctx.get(), leaf.cert.get());
    SSL_CTX_use_PrivateKey(ctx.get(), leaf.key.get());
    for (const auto& c : chain) SSL_CTX_add1_chain_cert(ctx.get(), c.cert.get());
    if (maxVersion) SSL_CTX_set_max_proto_version(ctx.get(), maxVersion);
    SSL_CTX_set_num_tickets(ctx.get(), 0);
    return ctx;
}

bool TestPki::writeRootPem(const std::string& path) const {
    FILE* f = std::fopen(path.c_str(), "w");
    if (!f) return false;
    bool ok = PEM_write_X509(f, root_.cert.get()) == 1;
    return std::fclose(f) == 0 && ok;
}

TlsServerPeer::TlsServerPeer(std::shared_ptr<SSL_CTX> ctx) {
    ssl_ = SSL_new(ctx.get());
    in_ = BIO_new(BIO_s_mem());
    out_ = BIO_new(BIO_s_mem());
    SSL_set_bio(ssl_, in_, out_);
    SSL_set_accept_state(ssl_);
}

TlsServerPeer::~TlsServerPeer() { SSL_free(ssl_); }

void TlsServerPeer::feed(const void* bytes, size_t n) {
    if (n) BIO_write(in_, bytes, static_cast<int>(n));
}

int TlsServerPeer::handshake() {
    int rc = SSL_do_handshake(ssl_);
    if (rc == 1) return 1;
    int err = SSL_get_error(ssl_, rc);
    ERR_clear_error();
    return err == SSL_ERROR_WANT_READ ? 0 : -1;
}

void TlsServerPeer::write(const std::string& plain) {
    SSL_write(ssl_, plain.data(), static_cast<int>(plain.size()));
}

std::string TlsServerPeer::read(bool* closed) {
    std::string got;
    for (const std::string& record : readRecords(closed)) got += record;
    return got;
}

std::vector<std::string> TlsServerPeer::readRecords(bool* closed) {
    std::vector<std::string> records;
    char buf[16384];
    int n;
    while ((n = SSL_read(ssl_, buf, sizeof buf)) > 0) records.emplace_back(buf, static_cast<size_t>(n));
    if (closed) *closed = SSL_get_error(ssl_, n) == SSL_ERROR_ZERO_RETURN;
    ERR_clear_error();
    return records;
}

void TlsServerPeer::closeNotify() { SSL_shutdown(ssl_); }

std::vector<unsigned char> TlsServerPeer::takeOutput() {
    std::vector<unsigned char> out(BIO_ctrl_pending(out_));
    if (!out.empty()) BIO_read(out_, out.data(), static_cast<int>(out.size()));
    return out;
}

std::vector<size_t> recordLengths(const std::vector<unsigned char>& bytes) {
    std::vector<size_t> lengths;
    size_t at = 0;
    while (bytes.size() - at >= 5) {
        size_t len = 5 + ((static_cast<size_t>(bytes[at + 3]) << 8) | bytes[at + 4]);
        lengths.push_back(len);
        at += len;
    }
    return lengths;
}

}  // namespace testsupport
}  // namespace ostmail
