// The TLS provider over OpenSSL 3, driven through memory BIOs so that the
// caller keeps the socket and the handshake loop.
#include "platform/TlsProvider.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/sha.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>
#include <dirent.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <cstdlib>
#include <cstring>

namespace ostmail {
namespace platform {
namespace {

struct SslCtxFree {
    void operator()(SSL_CTX* p) const { SSL_CTX_free(p); }
};
struct SslFree {
    void operator()(SSL* p) const { SSL_free(p); }
};
struct X509Free {
    void operator()(X509* p) const { X509_free(p); }
};
struct ChainFree {
    void operator()(STACK_OF(X509) * p) const { sk_X509_pop_free(p, X509_free); }
};
struct StoreFree {
    void operator()(X509_STORE* p) const { X509_STORE_free(p); }
};
struct StoreCtxFree {
    void operator()(X509_STORE_CTX* p) const { X509_STORE_CTX_free(p); }
};
struct BioFree {
    void operator()(BIO* p) const { BIO_free(p); }
};

constexpr uint32_t kRecordHeader = 5;
constexpr uint32_t kMaxRecordBody = 16384 + 2048;  // ciphertext expansion allowed by RFC 8446 5.2

class OsslCredentials : public TlsCredentials {
public:
    std::unique_ptr<SSL_CTX, SslCtxFree> ctx;
};

// Where OpenSSL's output goes: straight into the caller's buffer or sink
// while a call runs, otherwise (a reply OpenSSL makes on its own) into spill.
struct OutputTarget {
    Bytes* to = nullptr;
    TlsOutputSink* sink = nullptr;
    Bytes spill;
};

class OsslContext : public TlsContext {
public:
    std::unique_ptr<SSL, SslFree> ssl;
    BIO* in = nullptr;  // owned by ssl
    OutputTarget out;
    bool shutdownRequested = false;
};

// Points the output at one buffer for the length of a call, spill first.
class OutputCapture {
public:
    OutputCapture(OutputTarget& target, Bytes& to) : m_target(target) {
        to.insert(to.end(), target.spill.begin(), target.spill.end());
        target.spill.clear();
        target.to = &to;
    }
    ~OutputCapture() { m_target.to = nullptr; }
    OutputCapture(const OutputCapture&) = delete;
    OutputCapture& operator=(const OutputCapture&) = delete;

private:
    OutputTarget& m_target;
};

// An output BIO that appends to the current target: a memory BIO would cost
// one more copy and a zero-fill of every record.
int appendWrite(BIO* b, const char* data, int n) {
    auto* target = static_cast<OutputTarget*>(BIO_get_data(b));
    if (target->sink)
        return target->sink->put(reinterpret_cast<const unsigned char*>(data), static_cast<uint32_t>(n)) ? n : -1;
    Bytes& to = target->to ? *target->to : target->spill;
    const auto* bytes = reinterpret_cast<const unsigned char*>(data);  // same type: one memcpy
    try {
        to.insert(to.end(), bytes, bytes + n);
    } catch (...) {  // must not unwind through OpenSSL
        return -1;
    }
    return n;
}

long appendCtrl(BIO*, int cmd, long, void*) { return cmd == BIO_CTRL_FLUSH ? 1 : 0; }

int appendCreate(BIO* b) {
    BIO_set_init(b, 1);
    return 1;
}

BIO* newAppendBio(OutputTarget& target) {
    static BIO_METHOD* method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "append");
        if (m && BIO_meth_set_write(m, appendWrite) && BIO_meth_set_ctrl(m, appendCtrl) &&
            BIO_meth_set_create(m, appendCreate))
            return m;
        BIO_meth_free(m);
        return static_cast<BIO_METHOD*>(nullptr);
    }();
    BIO* b = method ? BIO_new(method) : nullptr;
    if (b) BIO_set_data(b, &target);
    return b;
}

class OsslCertificate : public TlsCertificate {
public:
    std::unique_ptr<X509, X509Free> leaf;
    std::unique_ptr<STACK_OF(X509), ChainFree> chain;  // as sent, may include the leaf

    std::string subjectDn() const override { return nameText(X509_get_subject_name(leaf.get())); }
    std::string subjectCn() const override { return commonName(X509_get_subject_name(leaf.get())); }
    std::string issuerDn() const override { return nameText(X509_get_issuer_name(leaf.get())); }
    std::string issuerCn() const override { return commonName(X509_get_issuer_name(leaf.get())); }
    std::string validFrom() const override { return dayOf(X509_get0_notBefore(leaf.get())); }
    std::string validUntil() const override { return dayOf(X509_get0_notAfter(leaf.get())); }
    Bytes publicKeySha256() const override {
        unsigned char* der = nullptr;
        int n = i2d_X509_PUBKEY(X509_get_X509_PUBKEY(leaf.get()), &der);
        if (n <= 0) return Bytes();
        Bytes digest(SHA256_DIGEST_LENGTH);
        SHA256(der, static_cast<size_t>(n), digest.data());
        OPENSSL_free(der);
        return digest;
    }

private:
    static std::string dayOf(const ASN1_TIME* t) {
        struct tm tm {};
        if (!t || ASN1_TIME_to_tm(t, &tm) != 1) return "";
        char text[48];
        std::snprintf(text, sizeof text, "%04d-%02d-%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
        return text;
    }
    static std::string nameText(X509_NAME* name) {
        std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_mem()));
        if (!bio || X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB) < 0) return "";
        char* p = nullptr;
        long n = BIO_get_mem_data(bio.get(), &p);
        return std::string(p, n > 0 ? static_cast<size_t>(n) : 0);
    }
    static std::string commonName(X509_NAME* name) {
        int i = X509_NAME_get_index_by_NID(name, NID_commonName, -1);
        if (i < 0) return "";
        unsigned char* utf8 = nullptr;
        int n = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, i)));
        if (n < 0) return "";
        std::string s(reinterpret_cast<char*>(utf8), static_cast<size_t>(n));
        OPENSSL_free(utf8);
        return s;
    }
};

void discardInput(BIO* in) {
    unsigned char scrap[4096];
    while (BIO_ctrl_pending(in) > 0 && BIO_read(in, scrap, sizeof scrap) > 0) {
    }
}

// A record header we would wait on; anything else goes to OpenSSL at once
// so that garbage fails instead of waiting for a length it invented.
bool plausibleHeader(const unsigned char* p) {
    uint32_t len = (static_cast<uint32_t>(p[3]) << 8) | p[4];
    return p[0] >= 20 && p[0] <= 24 && p[1] == 3 && len <= kMaxRecordBody;
}

// Length of the whole records at the start of the input; all of it when
// the input does not look like records.
uint32_t wholeRecordsLength(const unsigned char* in, uint32_t n) {
    uint32_t at = 0;
    while (n - at >= kRecordHeader) {
        if (!plausibleHeader(in + at)) return n;
        uint32_t len = kRecordHeader + ((static_cast<uint32_t>(in[at + 3]) << 8) | in[at + 4]);
        if (n - at < len) break;
        at += len;
    }
    return at;
}

uint32_t statusFromSslError() {
    unsigned long e = ERR_peek_last_error();
    uint32_t status = SEC_E_INTERNAL_ERROR;
    if (ERR_GET_LIB(e) == ERR_LIB_SSL) {
        switch (ERR_GET_REASON(e)) {
        case SSL_R_DECRYPTION_FAILED_OR_BAD_RECORD_MAC:
        case SSL_R_SSLV3_ALERT_BAD_RECORD_MAC:
            status = SEC_E_DECRYPT_FAILURE;
            break;
        case SSL_R_NO_PROTOCOLS_AVAILABLE:
        case SSL_R_UNSUPPORTED_PROTOCOL:
        case SSL_R_TLSV1_ALERT_PROTOCOL_VERSION:
            status = SEC_E_UNSUPPORTED_FUNCTION;
            break;
        case SSL_R_NO_CIPHERS_AVAILABLE:
        case SSL_R_NO_SHARED_CIPHER:
        case SSL_R_SSLV3_ALERT_HANDSHAKE_FAILURE:
            status = SEC_E_ALGORITHM_MISMATCH;
            break;
        default:
            status = SEC_E_ILLEGAL_MESSAGE;
        }
    }
    ERR_clear_error();
    return status;
}

// --- credentials -----------------------------------------------------------

struct VersionRange {
    int min = 0, max = 0;
    bool legacy = false;  // needs security level 0
};

bool versionsFromMask(uint32_t mask, VersionRange& r) {
    static const struct {
        uint32_t bits;
        int version;
    } table[] = {{SP_PROT_TLS1_0, TLS1_VERSION},
                 {SP_PROT_TLS1_1, TLS1_1_VERSION},
                 {SP_PROT_TLS1_2, TLS1_2_VERSION},
                 {SP_PROT_TLS1_3, TLS1_3_VERSION}};
    if (mask == 0) return true;
    for (const auto& t : table) {
        if (!(mask & t.bits)) continue;
        if (!r.min) r.min = t.version;
        r.max = t.version;
    }
    r.legacy = r.min && r.min < TLS1_2_VERSION;
    return r.min != 0;  // SSL 2/3 and PCT are gone from OpenSSL
}

const char* cipherTerm(uint32_t alg) {
    switch (alg) {
    case CALG_3DES: return "3DES";
    case CALG_RC4: return "RC4";
    case CALG_DES: return "DES";
    case CALG_AES_128: return "AES128";
    case CALG_AES_256: return "AES256";
    case CALG_MD5: return "MD5";
    case CALG_SHA1: return "SHA1";
    case CALG_SHA_256: return "SHA256";
    case CALG_SHA_384: return "SHA384";
    case CALG_RSA_KEYX: return "kRSA";
    case CALG_DH_EPHEM: return "kDHE";
    case CALG_ECDH_EPHEM: return "kECDHE";
    default: return nullptr;
    }
}

uint32_t applySettings(SSL_CTX* ctx, const TlsCredentialSettings& s) {
    VersionRange range;
    if (!versionsFromMask(s.protocolMask, range)) return SEC_E_ALGORITHM_MISMATCH;
    if (s.protocolMask == 0 && s.tls12AtLeast) range.min = TLS1_2_VERSION;
    std::string ciphers;
    for (uint32_t alg : s.algorithms) {
        const char* term = cipherTerm(alg);
        if (!term) return SEC_E_ALGORITHM_MISMATCH;
        ciphers += ciphers.empty() ? term : std::string("+") + term;
    }
    // A chosen algorithm only means something below TLS 1.3.
    if (!ciphers.empty() && (!range.max || range.max > TLS1_2_VERSION)) range.max = TLS1_2_VERSION;
    if (range.min && !SSL_CTX_set_min_proto_version(ctx, range.min)) return SEC_E_ALGORITHM_MISMATCH;
    if (range.max && !SSL_CTX_set_max_proto_version(ctx, range.max)) return SEC_E_ALGORITHM_MISMATCH;
    if (range.legacy || !ciphers.empty()) {
        std::string list = (ciphers.empty() ? std::string("DEFAULT") : ciphers) + ":@SECLEVEL=0";
        if (!SSL_CTX_set_cipher_list(ctx, list.c_str())) {
            ERR_clear_error();
            return SEC_E_ALGORITHM_MISMATCH;
        }
    }
    return SEC_E_OK;
}

// --- connection information ------------------------------------------------

uint32_t protocolBit(int version) {
    switch (version) {
    case SSL3_VERSION: return 0x20;
    case TLS1_VERSION: return 0x80;
    case TLS1_1_VERSION: return 0x200;
    case TLS1_2_VERSION: return 0x800;
    case TLS1_3_VERSION: return 0x2000;
    default: return 0;
    }
}

uint32_t cipherAlg(int nid) {
    switch (nid) {
    case NID_des_ede3_cbc: return CALG_3DES;
    case NID_rc4: return CALG_RC4;
    case NID_des_cbc: return CALG_DES;
    case NID_aes_128_cbc:
    case NID_aes_128_gcm:
    case NID_aes_128_ccm: return CALG_AES_128;
    case NID_aes_256_cbc:
    case NID_aes_256_gcm:
    case NID_aes_256_ccm: return CALG_AES_256;
    default: return 0;
    }
}

uint32_t hashAlg(int nid) {
    switch (nid) {
    case NID_md5: return CALG_MD5;
    case NID_sha1: return CALG_SHA1;
    case NID_sha256: return CALG_SHA_256;
    case NID_sha384: return CALG_SHA_384;
    default: return 0;
    }
}

void keyExchangeInfo(SSL* ssl, const SSL_CIPHER* c, TlsConnectionInfo& info) {
    int kx = SSL_CIPHER_get_kx_nid(c);
    EVP_PKEY* key = nullptr;
    if (kx == NID_kx_rsa) {
        info.keyExchange = CALG_RSA_KEYX;
        info.keyExchangeName = "RSA";
        key = SSL_get0_peer_certificate(ssl) ? X509_get0_pubkey(SSL_get0_peer_certificate(ssl)) : nullptr;
        if (key) info.keyExchangeStrength = static_cast<uint32_t>(EVP_PKEY_get_bits(key));
        return;
    }
    bool dhe = kx == NID_kx_dhe || kx == NID_kx_dhe_psk;
    info.keyExchange = dhe ? CALG_DH_EPHEM : CALG_ECDH_EPHEM;  // TLS 1.3 ("any") is always ephemeral
    info.keyExchangeName = dhe ? "DHE" : "ECDHE";
    if (SSL_get_peer_tmp_key(ssl, &key) == 1 && key) {
        info.keyExchangeStrength = static_cast<uint32_t>(EVP_PKEY_get_bits(key));
        EVP_PKEY_free(key);
    }
}

// --- certificate check -----------------------------------------------------

int collectErrors(int ok, X509_STORE_CTX* ctx) {
    if (!ok) {
        auto* errors = static_cast<std::vector<int>*>(X509_STORE_CTX_get_app_data(ctx));
        if (errors) errors->push_back(X509_STORE_CTX_get_error(ctx));
    }
    return 1;  // keep going so that every problem is seen
}

// Policy code and rank (lower wins) of one verification error, in the
// order the SSL chain policy reports them: trust, revocation, time, use,
// then the name.
std::pair<uint32_t, int> policyCode(int err) {
    switch (err) {
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_CERT_UNTRUSTED:
        return {CERT_E_UNTRUSTEDROOT, 0};
    case X509_V_ERR_CERT_SIGNATURE_FAILURE:
    case X509_V_ERR_UNABLE_TO_DECRYPT_CERT_SIGNATURE:
    case X509_V_ERR_UNABLE_TO_DECODE_ISSUER_PUBLIC_KEY:
        return {TRUST_E_CERT_SIGNATURE, 1};
    case X509_V_ERR_CERT_REJECTED:
        return {TRUST_E_FAIL, 1};
    case X509_V_ERR_ERROR_IN_CERT_NOT_BEFORE_FIELD:
    case X509_V_ERR_ERROR_IN_CERT_NOT_AFTER_FIELD:
        return {CERT_E_MALFORMED, 1};
    case X509_V_ERR_CERT_REVOKED:
        return {CERT_E_REVOKED, 2};
    case X509_V_ERR_UNABLE_TO_GET_CRL:
    case X509_V_ERR_CRL_HAS_EXPIRED:
    case X509_V_ERR_CRL_NOT_YET_VALID:
        return {CERT_E_REVOCATION_FAILURE, 2};
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return {CERT_E_EXPIRED, 3};
    case X509_V_ERR_INVALID_PURPOSE:
        return {CERT_E_WRONG_USAGE, 4};
    case X509_V_ERR_INVALID_CA:
        return {CERT_E_ROLE, 4};
    case X509_V_ERR_PATH_LENGTH_EXCEEDED:
        return {CERT_E_PATHLENCONST, 4};
    case X509_V_ERR_UNHANDLED_CRITICAL_EXTENSION:
        return {CERT_E_CRITICAL, 4};
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        return {CERT_E_CN_NO_MATCH, 5};
    default:
        return {TRUST_E_FAIL, 4};
    }
}

uint32_t worstPolicyError(const std::vector<int>& errors) {
    uint32_t code = 0;
    int rank = 1000;
    for (int e : errors) {
        auto pc = policyCode(e);
        if (pc.second < rank) code = pc.first, rank = pc.second;
    }
    return code;
}

// True when the folder holds certificates named by subject hash ("1a2b3c4d.0").
bool hasHashedNames(const char* dir) {
    std::unique_ptr<DIR, int (*)(DIR*)> d(opendir(dir), closedir);
    if (!d) return false;
    while (const dirent* e = readdir(d.get())) {
        const char* dot = strchr(e->d_name, '.');
        if (dot == e->d_name + 8 && isdigit(static_cast<unsigned char>(dot[1])) &&
            strspn(e->d_name, "0123456789abcdef") == 8)
            return true;
    }
    return false;
}

// The system anchors. Reading the whole bundle costs about 20 ms a connection
// (every certificate is parsed), so the hashed folder is preferred: it is
// searched by issuer and reads only the certificates a chain needs. A file
// named in SSL_CERT_FILE is still read whole, being the user's own choice.
void addSystemAnchors(X509_STORE* store) {
    const char* file = secure_getenv(X509_get_default_cert_file_env());
    const char* dirs = secure_getenv(X509_get_default_cert_dir_env());
    const char* dir = dirs && *dirs ? dirs : X509_get_default_cert_dir();
    if (file && *file)
        X509_STORE_load_file(store, file);
    else if (!hasHashedNames(dir))
        X509_STORE_load_file(store, X509_get_default_cert_file());
    X509_STORE_load_path(store, dir);
}

std::unique_ptr<X509_STORE, StoreFree> trustStore(const TlsTrustSettings& trust) {
    std::unique_ptr<X509_STORE, StoreFree> store(X509_STORE_new());
    if (!store) return store;
    addSystemAnchors(store.get());
    // A missing extra file or folder leaves only the system anchors.
    if (!trust.caFile.empty()) X509_STORE_load_file(store.get(), trust.caFile.c_str());
    if (!trust.caDir.empty()) X509_STORE_load_path(store.get(), trust.caDir.c_str());
    ERR_clear_error();
    return store;
}

void setExpectedHost(X509_STORE_CTX* ctx, const char* host) {
    X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(ctx);
    unsigned char addr[16];
    if (inet_pton(AF_INET, host, addr) == 1 || inet_pton(AF_INET6, host, addr) == 1)
        X509_VERIFY_PARAM_set1_ip_asc(param, host);
    else
        X509_VERIFY_PARAM_set1_host(param, host, 0);
}

// --- the provider ----------------------------------------------------------

class OpenSslProvider : public TlsProvider {
public:
    uint32_t AcquireCredentials(const TlsCredentialSettings& settings,
                                std::unique_ptr<TlsCredentials>& out) override {
        auto cred = std::make_unique<OsslCredentials>();
        cred->ctx.reset(SSL_CTX_new(TLS_client_method()));
        if (!cred->ctx) return SEC_E_INSUFFICIENT_MEMORY;
        // The caller checks the server's certificate after the handshake.
        SSL_CTX_set_verify(cred->ctx.get(), SSL_VERIFY_NONE, nullptr);
        // AES-128-GCM first: as safe as AES-256 for mail and about a third
        // cheaper per byte, which a large attachment feels.
        SSL_CTX_set_ciphersuites(cred->ctx.get(),
                                 "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256");
        uint32_t status = applySettings(cred->ctx.get(), settings);
        if (status == SEC_E_OK) out = std::move(cred);
        return status;
    }

    void InitializeContext(TlsCredentials& cred, std::unique_ptr<TlsContext>& ctx, const char* targetName,
                           const unsigned char* in, uint32_t n, TlsStepResult& r) override {
        r = TlsStepResult();
        if (!ctx) return startHandshake(static_cast<OsslCredentials&>(cred), ctx, targetName, r);
        auto& c = static_cast<OsslContext&>(*ctx);
        if (c.shutdownRequested) return closeAlert(c, r);
        continueHandshake(c, in, n, r);
    }

    uint32_t QueryStreamSizes(TlsContext& ctx, TlsStreamSizes& sizes) override {
        if (!SSL_is_init_finished(static_cast<OsslContext&>(ctx).ssl.get())) return SEC_E_INVALID_HANDLE;
        sizes.header = kRecordHeader + 16;  // room for an explicit IV or nonce
        sizes.trailer = 48 + 256;           // MAC or tag, and block padding
        sizes.maxMessage = 16384;
        return SEC_E_OK;
    }

    uint32_t QueryRemoteCertificate(TlsContext& ctx, std::shared_ptr<TlsCertificate>& cert) override {
        SSL* ssl = static_cast<OsslContext&>(ctx).ssl.get();
        auto c = std::make_shared<OsslCertificate>();
        c->leaf.reset(SSL_get1_peer_certificate(ssl));
        if (!c->leaf) return SEC_E_NO_CREDENTIALS;
        STACK_OF(X509)* sent = SSL_get_peer_cert_chain(ssl);
        c->chain.reset(sent ? X509_chain_up_ref(sent) : sk_X509_new_null());
        cert = std::move(c);
        return SEC_E_OK;
    }

    uint32_t QueryConnectionInfo(TlsContext& ctx, TlsConnectionInfo& info) override {
        SSL* ssl = static_cast<OsslContext&>(ctx).ssl.get();
        const SSL_CIPHER* c = SSL_get_current_cipher(ssl);
        if (!c) return SEC_E_INVALID_HANDLE;
        info = TlsConnectionInfo();
        info.protocol = protocolBit(SSL_version(ssl));
        info.protocolName = SSL_get_version(ssl);
        info.cipher = cipherAlg(SSL_CIPHER_get_cipher_nid(c));
        info.cipherName = SSL_CIPHER_get_name(c);
        int bits = SSL_CIPHER_get_bits(c, nullptr);
        info.cipherStrength = bits > 0 ? static_cast<uint32_t>(bits) : 0;
        const EVP_MD* md = SSL_CIPHER_get_handshake_digest(c);
        int mdNid = SSL_CIPHER_get_digest_nid(c);
        if (mdNid == NID_undef && md) mdNid = EVP_MD_get_type(md);
        info.hash = hashAlg(mdNid);
        info.hashName = mdNid != NID_undef ? OBJ_nid2sn(mdNid) : "";
        const EVP_MD* used = mdNid != NID_undef ? EVP_get_digestbynid(mdNid) : nullptr;
        info.hashStrength = used ? static_cast<uint32_t>(EVP_MD_get_size(used) * 8) : 0;
        keyExchangeInfo(ssl, c, info);
        return SEC_E_OK;
    }

    using TlsProvider::EncryptMessage;

    uint32_t EncryptMessage(TlsContext& ctx, const unsigned char* data, uint32_t n, TlsOutputSink& sink) override {
        auto& c = static_cast<OsslContext&>(ctx);
        if (n == 0) return SEC_E_OK;
        Bytes spill;
        spill.swap(c.out.spill);
        if (!spill.empty() && !sink.put(spill.data(), static_cast<uint32_t>(spill.size())))
            return SEC_E_ENCRYPT_FAILURE;
        c.out.sink = &sink;
        int wrote = SSL_write(c.ssl.get(), data, static_cast<int>(n));
        c.out.sink = nullptr;
        if (wrote != static_cast<int>(n)) {
            ERR_clear_error();
            return SEC_E_ENCRYPT_FAILURE;
        }
        return SEC_E_OK;
    }

    void DecryptMessage(TlsContext& ctx, const unsigned char* in, uint32_t n, TlsDecryptResult& r) override {
        r = TlsDecryptResult();
        auto& c = static_cast<OsslContext&>(ctx);
        uint32_t len = n;
        if (n < kRecordHeader) return incomplete(r, kRecordHeader - n);
        if (plausibleHeader(in)) {
            len = kRecordHeader + ((static_cast<uint32_t>(in[3]) << 8) | in[4]);
            if (n < len) return incomplete(r, len - n);
        }
        BIO_write(c.in, in, static_cast<int>(len));
        r.status = readPlaintext(c, r.data);
        r.extra = n - len;
        discardInput(c.in);
    }

    uint32_t ApplyShutdownToken(TlsContext& ctx) override {
        static_cast<OsslContext&>(ctx).shutdownRequested = true;
        return SEC_E_OK;
    }

    bool VerifyServerCertificate(const TlsCertificate& cert, const TlsTrustSettings& trust, const char* host,
                                 uint32_t& policyError) override {
        policyError = 0;
        const auto* oc = dynamic_cast<const OsslCertificate*>(&cert);
        auto store = trustStore(trust);
        std::unique_ptr<X509_STORE_CTX, StoreCtxFree> ctx(X509_STORE_CTX_new());
        if (!oc || !store || !ctx) return false;
        if (!X509_STORE_CTX_init(ctx.get(), store.get(), oc->leaf.get(), oc->chain.get())) return false;
        std::vector<int> errors;
        X509_STORE_CTX_set_app_data(ctx.get(), &errors);
        X509_STORE_CTX_set_verify_cb(ctx.get(), collectErrors);
        X509_STORE_CTX_set_purpose(ctx.get(), X509_PURPOSE_SSL_SERVER);
        setExpectedHost(ctx.get(), host);
        int ok = X509_verify_cert(ctx.get());
        ERR_clear_error();
        if (ok < 0) return false;
        policyError = worstPolicyError(errors);
        return true;
    }

private:
    static void incomplete(TlsDecryptResult& r, uint32_t missing) {
        r.status = SEC_E_INCOMPLETE_MESSAGE;
        r.missing = missing;
    }

    static uint32_t readPlaintext(OsslContext& c, Bytes& data) {
        unsigned char buf[16384];
        for (;;) {
            int got = SSL_read(c.ssl.get(), buf, sizeof buf);
            if (got > 0) {
                data.insert(data.end(), buf, buf + got);
                continue;
            }
            int err = SSL_get_error(c.ssl.get(), got);
            if (err == SSL_ERROR_WANT_READ) return SEC_E_OK;  // also a record with no data (a ticket)
            if (err == SSL_ERROR_ZERO_RETURN) {
                ERR_clear_error();
                return SEC_I_CONTEXT_EXPIRED;
            }
            return statusFromSslError();
        }
    }

    static void startHandshake(OsslCredentials& cred, std::unique_ptr<TlsContext>& ctx, const char* target,
                               TlsStepResult& r) {
        auto c = std::make_unique<OsslContext>();
        c->ssl.reset(SSL_new(cred.ctx.get()));
        c->in = BIO_new(BIO_s_mem());
        BIO* out = newAppendBio(c->out);
        if (!c->ssl || !c->in || !out) {
            BIO_free(c->in);
            BIO_free(out);
            r.status = SEC_E_INSUFFICIENT_MEMORY;
            return;
        }
        SSL_set_bio(c->ssl.get(), c->in, out);
        SSL_set_connect_state(c->ssl.get());
        unsigned char addr[16];
        if (target && *target && inet_pton(AF_INET, target, addr) != 1 && inet_pton(AF_INET6, target, addr) != 1)
            SSL_set_tlsext_host_name(c->ssl.get(), target);  // no SNI for an address (RFC 6066 3)
        ctx = std::move(c);
        stepHandshake(static_cast<OsslContext&>(*ctx), r);
    }

    static void continueHandshake(OsslContext& c, const unsigned char* in, uint32_t n, TlsStepResult& r) {
        uint32_t fed = wholeRecordsLength(in, n);
        if (fed == 0) {
            r.status = SEC_E_INCOMPLETE_MESSAGE;
            return;
        }
        BIO_write(c.in, in, static_cast<int>(fed));
        stepHandshake(c, r);
        if (r.status == SEC_E_OK) {
            r.extra = static_cast<uint32_t>(BIO_ctrl_pending(c.in)) + (n - fed);
            discardInput(c.in);  // the caller keeps those bytes
        } else if (r.status == SEC_I_CONTINUE_NEEDED) {
            r.extra = n - fed;
        }
    }

    static void stepHandshake(OsslContext& c, TlsStepResult& r) {
        OutputCapture capture(c.out, r.output);
        int rc = SSL_do_handshake(c.ssl.get());
        if (rc == 1) {
            r.status = SEC_E_OK;
        } else if (SSL_get_error(c.ssl.get(), rc) == SSL_ERROR_WANT_READ) {
            r.status = SEC_I_CONTINUE_NEEDED;
        } else {
            r.status = statusFromSslError();
        }
        r.extendedError = secFailed(r.status) && !r.output.empty();
    }

    static void closeAlert(OsslContext& c, TlsStepResult& r) {
        OutputCapture capture(c.out, r.output);
        int rc = SSL_shutdown(c.ssl.get());
        r.status = rc >= 0 ? SEC_E_OK : statusFromSslError();
    }
};

}  // namespace

uint32_t TlsProvider::EncryptMessage(TlsContext& ctx, const unsigned char* data, uint32_t n, Bytes& record) {
    struct Append : TlsOutputSink {
        explicit Append(Bytes& b) : to(b) {}
        bool put(const unsigned char* d, uint32_t len) override {
            try {
                to.insert(to.end(), d, d + len);
            } catch (...) {  // must not unwind through OpenSSL
                return false;
            }
            return true;
        }
        Bytes& to;
    } append(record);
    return EncryptMessage(ctx, data, n, append);
}

TlsProvider* tlsProvider() {
    static OpenSslProvider provider;
    return &provider;
}

const char* tlsLibraryName() { return "libssl.so.3"; }

}  // namespace platform
}  // namespace ostmail
