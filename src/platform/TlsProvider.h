#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace ostmail {
namespace platform {

// The security-support provider of the TLS channel, in the shape of the
// SSPI calls the channel was written against: a context step that takes an
// input token and gives an output token, a status and the count of unused
// input bytes; record encryption and decryption one record at a time; the
// shutdown token. One implementation per build, chosen by tlsProvider().

// Statuses carry the SSPI numbers so that callers and logs read the same
// on every platform.
constexpr uint32_t SEC_E_OK = 0;
constexpr uint32_t SEC_I_CONTINUE_NEEDED = 0x00090312;
constexpr uint32_t SEC_I_COMPLETE_NEEDED = 0x00090313;
constexpr uint32_t SEC_I_COMPLETE_AND_CONTINUE = 0x00090314;
constexpr uint32_t SEC_I_CONTEXT_EXPIRED = 0x00090317;
constexpr uint32_t SEC_I_INCOMPLETE_CREDENTIALS = 0x00090320;
constexpr uint32_t SEC_I_RENEGOTIATE = 0x00090321;
constexpr uint32_t SEC_E_INSUFFICIENT_MEMORY = 0x80090300;
constexpr uint32_t SEC_E_INVALID_HANDLE = 0x80090301;
constexpr uint32_t SEC_E_UNSUPPORTED_FUNCTION = 0x80090302;
constexpr uint32_t SEC_E_TARGET_UNKNOWN = 0x80090303;
constexpr uint32_t SEC_E_INTERNAL_ERROR = 0x80090304;
constexpr uint32_t SEC_E_INVALID_TOKEN = 0x80090308;
constexpr uint32_t SEC_E_LOGON_DENIED = 0x8009030C;
constexpr uint32_t SEC_E_UNKNOWN_CREDENTIALS = 0x8009030D;
constexpr uint32_t SEC_E_NO_CREDENTIALS = 0x8009030E;
constexpr uint32_t SEC_E_MESSAGE_ALTERED = 0x8009030F;
constexpr uint32_t SEC_E_NO_AUTHENTICATING_AUTHORITY = 0x80090311;
constexpr uint32_t SEC_E_INCOMPLETE_MESSAGE = 0x80090318;
constexpr uint32_t SEC_E_UNTRUSTED_ROOT = 0x80090325;
constexpr uint32_t SEC_E_ILLEGAL_MESSAGE = 0x80090326;
constexpr uint32_t SEC_E_ENCRYPT_FAILURE = 0x80090329;
constexpr uint32_t SEC_E_DECRYPT_FAILURE = 0x80090330;
constexpr uint32_t SEC_E_ALGORITHM_MISMATCH = 0x80090331;

inline bool secFailed(uint32_t status) { return (status & 0x80000000u) != 0; }

// Buffer types, for the step and decrypt results.
enum SecBufferType : uint32_t {
    SECBUFFER_EMPTY = 0,
    SECBUFFER_DATA = 1,
    SECBUFFER_TOKEN = 2,
    SECBUFFER_PKG_PARAMS = 3,
    SECBUFFER_MISSING = 4,
    SECBUFFER_EXTRA = 5,
    SECBUFFER_STREAM_TRAILER = 6,
    SECBUFFER_STREAM_HEADER = 7,
    SECBUFFER_NEGOTIATION_INFO = 8,
    SECBUFFER_PADDING = 9,
    SECBUFFER_STREAM = 10,
};

// Protocol bits of the credential settings and the connection information.
constexpr uint32_t SP_PROT_PCT1 = 0x03;
constexpr uint32_t SP_PROT_SSL2 = 0x0C;
constexpr uint32_t SP_PROT_SSL3 = 0x30;
constexpr uint32_t SP_PROT_TLS1_0 = 0xC0;
constexpr uint32_t SP_PROT_TLS1_1 = 0x300;
constexpr uint32_t SP_PROT_TLS1_2 = 0xC00;
constexpr uint32_t SP_PROT_TLS1_3 = 0x3000;

// Algorithm identifiers (CryptoAPI ALG_ID numbers).
constexpr uint32_t CALG_DES = 0x6601;
constexpr uint32_t CALG_RC2 = 0x6602;
constexpr uint32_t CALG_3DES = 0x6603;
constexpr uint32_t CALG_3DES_112 = 0x6609;
constexpr uint32_t CALG_SKIPJACK = 0x660A;
constexpr uint32_t CALG_AES_128 = 0x660E;
constexpr uint32_t CALG_AES_256 = 0x6610;
constexpr uint32_t CALG_RC4 = 0x6801;
constexpr uint32_t CALG_MD5 = 0x8003;
constexpr uint32_t CALG_SHA1 = 0x8004;
constexpr uint32_t CALG_SHA_256 = 0x800C;
constexpr uint32_t CALG_SHA_384 = 0x800D;
constexpr uint32_t CALG_RSA_KEYX = 0xA400;
constexpr uint32_t CALG_DH_EPHEM = 0xAA02;
constexpr uint32_t CALG_KEA_KEYX = 0xAA04;
constexpr uint32_t CALG_ECDH_EPHEM = 0xAE06;

// Chain policy results.
constexpr uint32_t CERT_E_EXPIRED = 0x800B0101;
constexpr uint32_t CERT_E_VALIDITYPERIODNESTING = 0x800B0102;
constexpr uint32_t CERT_E_ROLE = 0x800B0103;
constexpr uint32_t CERT_E_PATHLENCONST = 0x800B0104;
constexpr uint32_t CERT_E_CRITICAL = 0x800B0105;
constexpr uint32_t CERT_E_PURPOSE = 0x800B0106;
constexpr uint32_t CERT_E_ISSUERCHAINING = 0x800B0107;
constexpr uint32_t CERT_E_MALFORMED = 0x800B0108;
constexpr uint32_t CERT_E_UNTRUSTEDROOT = 0x800B0109;
constexpr uint32_t CERT_E_CHAINING = 0x800B010A;
constexpr uint32_t TRUST_E_FAIL = 0x800B010B;
constexpr uint32_t CERT_E_REVOKED = 0x800B010C;
constexpr uint32_t CERT_E_UNTRUSTEDTESTROOT = 0x800B010D;
constexpr uint32_t CERT_E_REVOCATION_FAILURE = 0x800B010E;
constexpr uint32_t CERT_E_CN_NO_MATCH = 0x800B010F;
constexpr uint32_t CERT_E_WRONG_USAGE = 0x800B0110;
constexpr uint32_t TRUST_E_CERT_SIGNATURE = 0x80096004;

using Bytes = std::vector<unsigned char>;

struct TlsCredentialSettings {
    uint32_t protocolMask = 0;  // SP_PROT_* bits; 0 = the provider's default
    bool tls12AtLeast = false;  // with mask 0: nothing older than TLS 1.2 (RFC 8996)
    std::vector<uint32_t> algorithms;  // CALG_* cipher, hash or key exchange; empty = any
};

// Trust anchors for the chain check besides the system store.
struct TlsTrustSettings {
    std::string caFile;  // PEM file of one or more certificates
    std::string caDir;   // folder of PEM certificates named by subject hash
};

struct TlsStreamSizes {
    uint32_t header = 0;
    uint32_t trailer = 0;
    uint32_t maxMessage = 0;
};

struct TlsConnectionInfo {
    uint32_t protocol = 0;  // one SP_PROT_* bit
    uint32_t cipher = 0;    // CALG_*, 0 when it has no number
    uint32_t cipherStrength = 0;
    uint32_t hash = 0;
    uint32_t hashStrength = 0;
    uint32_t keyExchange = 0;
    uint32_t keyExchangeStrength = 0;
    // The implementation's own names, for what has no number.
    std::string protocolName, cipherName, hashName, keyExchangeName;
};

// Result of one handshake or shutdown step.
struct TlsStepResult {
    uint32_t status = SEC_E_OK;
    Bytes output;             // token to send, possibly an alert after an error
    uint32_t extra = 0;       // trailing input bytes not consumed (SECBUFFER_EXTRA)
    bool extendedError = false;
};

// Result of decrypting the first record of the input.
struct TlsDecryptResult {
    uint32_t status = SEC_E_OK;
    Bytes data;            // plaintext of the record
    uint32_t extra = 0;    // bytes after the record
    uint32_t missing = 0;  // SEC_E_INCOMPLETE_MESSAGE: bytes still to come
};

// The peer's certificate with the chain it sent.
class TlsCertificate {
public:
    virtual ~TlsCertificate() = default;
    virtual std::string subjectDn() const = 0;  // RFC 2253 form
    virtual std::string subjectCn() const = 0;
    virtual std::string issuerDn() const = 0;
    virtual std::string issuerCn() const = 0;
    // Validity bounds as "YYYY-MM-DD" (UTC); empty when unknown.
    virtual std::string validFrom() const { return std::string(); }
    virtual std::string validUntil() const { return std::string(); }
    // SHA-256 of the DER SubjectPublicKeyInfo (what a pinned key names);
    // empty when it cannot be computed.
    virtual Bytes publicKeySha256() const { return Bytes(); }
};

class TlsCredentials {
public:
    virtual ~TlsCredentials() = default;
};

class TlsContext {
public:
    virtual ~TlsContext() = default;
};

// Takes encrypted output as it is made; the bytes are valid during the call only.
class TlsOutputSink {
public:
    virtual ~TlsOutputSink() = default;
    virtual bool put(const unsigned char* data, uint32_t n) = 0;
};

class TlsProvider {
public:
    virtual ~TlsProvider() = default;

    virtual uint32_t AcquireCredentials(const TlsCredentialSettings& settings,
                                        std::unique_ptr<TlsCredentials>& out) = 0;

    // A null ctx starts a handshake (the input is ignored) and creates the
    // context. Later calls feed what the server sent; after
    // ApplyShutdownToken a call gives the close alert.
    virtual void InitializeContext(TlsCredentials& cred, std::unique_ptr<TlsContext>& ctx, const char* targetName,
                                   const unsigned char* in, uint32_t n, TlsStepResult& result) = 0;

    virtual uint32_t QueryStreamSizes(TlsContext& ctx, TlsStreamSizes& sizes) = 0;
    virtual uint32_t QueryRemoteCertificate(TlsContext& ctx, std::shared_ptr<TlsCertificate>& cert) = 0;
    virtual uint32_t QueryConnectionInfo(TlsContext& ctx, TlsConnectionInfo& info) = 0;

    // One record (header, data, trailer), handed to sink straight from the
    // implementation's own buffer: a 25 MiB message would otherwise be copied
    // once more on its way to the socket. A false from sink fails the call.
    virtual uint32_t EncryptMessage(TlsContext& ctx, const unsigned char* data, uint32_t n, TlsOutputSink& sink) = 0;
    // The same record appended to record.
    uint32_t EncryptMessage(TlsContext& ctx, const unsigned char* data, uint32_t n, Bytes& record);
    // Decrypts the first record of the input only.
    virtual void DecryptMessage(TlsContext& ctx, const unsigned char* in, uint32_t n, TlsDecryptResult& result) = 0;

    virtual uint32_t ApplyShutdownToken(TlsContext& ctx) = 0;

    // Builds the chain from the system store, the trust settings and what
    // the peer sent, and checks it for server use by host (a name or a
    // dotted address). False only when the check could not run; policyError
    // is then 0 or the CERT_E_* / TRUST_E_* code of the worst problem.
    virtual bool VerifyServerCertificate(const TlsCertificate& cert, const TlsTrustSettings& trust,
                                         const char* host, uint32_t& policyError) = 0;
};

// The process-wide provider; null when none can be loaded.
TlsProvider* tlsProvider();
// The library the provider loads, for the log when it cannot.
const char* tlsLibraryName();

}  // namespace platform
}  // namespace ostmail
