#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace ostmail {
namespace platform {

// Streaming SHA-256. A hash that could not be set up yields false from
// finish(); nothing else fails.
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;
    void update(const void* data, size_t n);
    // out receives 32 bytes; the object must not be updated afterwards.
    bool finish(uint8_t out[32]);

private:
    struct Impl;
    std::unique_ptr<Impl> m;
};

// A private key that signs message digests: RSA (PKCS#1 v1.5 over a
// SHA-256 DigestInfo) or Ed25519 (over the digest bytes, RFC 8463).
class SigningKey {
public:
    enum class Type { kNone, kRsa, kEd25519 };

    SigningKey();
    ~SigningKey();
    SigningKey(const SigningKey&) = delete;
    SigningKey& operator=(const SigningKey&) = delete;

    // Unencrypted PEM (PKCS#8 or the traditional RSA form). False with the
    // reason in words, the key left empty.
    bool loadPem(const std::string& pem, std::string& reason);
    // A fresh key; bits matter for RSA only.
    bool generate(Type type, int bits, std::string& reason);
    Type type() const { return m_type; }
    int bits() const { return m_bits; }
    // Signs a 32-byte SHA-256 digest; sig receives the raw signature.
    bool signDigest(const uint8_t digest[32], std::string& sig, std::string& reason) const;
    // The public key as DNS publishes it before base64: RSA's DER
    // SubjectPublicKeyInfo, Ed25519's 32 raw bytes.
    bool publicKey(std::string& out) const;
    // The private key as unencrypted PKCS#8 PEM.
    bool privatePem(std::string& out) const;

private:
    struct Impl;
    std::unique_ptr<Impl> m;
    Type m_type = Type::kNone;
    int m_bits = 0;
};

// Reads a private key file, refusing one that group or others may read
// (where the system has such modes). False with the reason in words.
bool readPrivateFile(const char* path, std::string& out, std::string& reason);
// Creates path readable by its owner only; an existing file is not replaced.
bool writePrivateFile(const char* path, const std::string& data, std::string& reason);

}  // namespace platform
}  // namespace ostmail
