#include "platform/SigningKey.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ostmail {
namespace platform {

struct Sha256::Impl {
    EVP_MD_CTX* ctx = nullptr;
    ~Impl() { EVP_MD_CTX_free(ctx); }
};

Sha256::Sha256() : m(new Impl) {
    m->ctx = EVP_MD_CTX_new();
    if (m->ctx && EVP_DigestInit_ex(m->ctx, EVP_sha256(), nullptr) != 1) {
        EVP_MD_CTX_free(m->ctx);
        m->ctx = nullptr;
    }
}

Sha256::~Sha256() = default;

void Sha256::update(const void* data, size_t n) {
    if (m->ctx && n) EVP_DigestUpdate(m->ctx, data, n);
}

bool Sha256::finish(uint8_t out[32]) {
    unsigned int len = 0;
    return m->ctx && EVP_DigestFinal_ex(m->ctx, out, &len) == 1 && len == 32;
}

struct SigningKey::Impl {
    EVP_PKEY* key = nullptr;
    ~Impl() { EVP_PKEY_free(key); }
};

namespace {

// A PEM password callback that refuses: an encrypted key is an error, never a prompt.
int noPassword(char*, int, int, void*) { return -1; }

bool adopt(EVP_PKEY* key, EVP_PKEY*& slot, SigningKey::Type& type, int& bits, std::string& reason) {
    int id = EVP_PKEY_get_base_id(key);
    if (id == EVP_PKEY_RSA) {
        type = SigningKey::Type::kRsa;
    } else if (id == EVP_PKEY_ED25519) {
        type = SigningKey::Type::kEd25519;
    } else {
        reason = "the key is neither RSA nor Ed25519";
        EVP_PKEY_free(key);
        return false;
    }
    bits = EVP_PKEY_get_bits(key);
    slot = key;
    return true;
}

}  // namespace

SigningKey::SigningKey() : m(new Impl) {}
SigningKey::~SigningKey() = default;

bool SigningKey::loadPem(const std::string& pem, std::string& reason) {
    EVP_PKEY_free(m->key);
    m->key = nullptr;
    m_type = Type::kNone;
    if (pem.find("-----BEGIN ") == std::string::npos) {
        reason = "the key is not in PEM form (no -----BEGIN line)";
        return false;
    }
    if (pem.find("ENCRYPTED") != std::string::npos) {
        reason = "the key is encrypted; give an unencrypted key (openssl pkey -in KEY -out PLAIN)";
        return false;
    }
    BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    EVP_PKEY* key = bio ? PEM_read_bio_PrivateKey(bio, nullptr, noPassword, nullptr) : nullptr;
    BIO_free(bio);
    if (!key) {
        reason = "the PEM text holds no private key that can be read";
        return false;
    }
    return adopt(key, m->key, m_type, m_bits, reason);
}

bool SigningKey::generate(Type type, int bits, std::string& reason) {
    EVP_PKEY_free(m->key);
    m->key = nullptr;
    m_type = Type::kNone;
    EVP_PKEY* key = type == Type::kRsa ? EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(bits))
                                       : EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
    if (!key) {
        reason = "the key could not be generated";
        return false;
    }
    return adopt(key, m->key, m_type, m_bits, reason);
}

bool SigningKey::signDigest(const uint8_t digest[32], std::string& sig, std::string& reason) const {
    reason = "the signature could not be made";
    if (!m->key) return false;
    size_t len = 0;
    bool ok = false;
    if (m_type == Type::kRsa) {
        EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(m->key, nullptr);
        ok = ctx && EVP_PKEY_sign_init(ctx) == 1 && EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1 &&
             EVP_PKEY_CTX_set_signature_md(ctx, EVP_sha256()) == 1 &&
             EVP_PKEY_sign(ctx, nullptr, &len, digest, 32) == 1;
        sig.assign(len, '\0');
        ok = ok && EVP_PKEY_sign(ctx, reinterpret_cast<unsigned char*>(&sig[0]), &len, digest, 32) == 1;
        EVP_PKEY_CTX_free(ctx);
    } else {
        EVP_MD_CTX* ctx = EVP_MD_CTX_new();
        ok = ctx && EVP_DigestSignInit(ctx, nullptr, nullptr, nullptr, m->key) == 1 &&
             EVP_DigestSign(ctx, nullptr, &len, digest, 32) == 1;
        sig.assign(len, '\0');
        ok = ok && EVP_DigestSign(ctx, reinterpret_cast<unsigned char*>(&sig[0]), &len, digest, 32) == 1;
        EVP_MD_CTX_free(ctx);
    }
    if (!ok) return false;
    sig.resize(len);
    return true;
}

bool SigningKey::publicKey(std::string& out) const {
    if (!m->key) return false;
    if (m_type == Type::kEd25519) {
        size_t len = 32;
        out.assign(len, '\0');
        return EVP_PKEY_get_raw_public_key(m->key, reinterpret_cast<unsigned char*>(&out[0]), &len) == 1 &&
               len == 32;
    }
    unsigned char* der = nullptr;
    int len = i2d_PUBKEY(m->key, &der);
    if (len <= 0) return false;
    out.assign(reinterpret_cast<char*>(der), static_cast<size_t>(len));
    OPENSSL_free(der);
    return true;
}

bool SigningKey::privatePem(std::string& out) const {
    BIO* bio = BIO_new(BIO_s_mem());
    bool ok = bio && m->key && PEM_write_bio_PrivateKey(bio, m->key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
    char* data = nullptr;
    long n = ok ? BIO_get_mem_data(bio, &data) : 0;
    if (ok) out.assign(data, static_cast<size_t>(n));
    BIO_free(bio);
    return ok;
}

bool readPrivateFile(const char* path, std::string& out, std::string& reason) {
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        reason = std::string("cannot open the key file '") + path + "': " + std::strerror(errno);
        return false;
    }
    struct stat st;
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (!ok) reason = std::string("the key file '") + path + "' is not a regular file";
    if (ok && (st.st_mode & (S_IRWXG | S_IRWXO))) {
        ok = false;
        reason = std::string("the key file '") + path + "' can be read by group or others; chmod 600 it";
    }
    char buf[4096];
    ssize_t n = 0;
    out.clear();
    while (ok && (n = ::read(fd, buf, sizeof buf)) > 0 && out.size() < (1u << 20)) out.append(buf, n);
    if (ok && n < 0) {
        ok = false;
        reason = std::string("cannot read the key file '") + path + "': " + std::strerror(errno);
    }
    ::close(fd);
    return ok;
}

bool writePrivateFile(const char* path, const std::string& data, std::string& reason) {
    int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        reason = std::string("cannot create '") + path + "': " + std::strerror(errno);
        return false;
    }
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n <= 0 && errno != EINTR) break;
        if (n > 0) done += static_cast<size_t>(n);
    }
    bool ok = done == data.size() && ::fchmod(fd, 0600) == 0;
    ok = ::close(fd) == 0 && ok;
    if (!ok) reason = std::string("cannot write '") + path + "': " + std::strerror(errno);
    return ok;
}

}  // namespace platform
}  // namespace ostmail
