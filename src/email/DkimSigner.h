#pragma once
#include "core/StringBuffer.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace ostmail {

class LogBase;
namespace platform {
class SigningKey;
}

// What a signature may be asked for beyond its domain, selector and key.
struct DkimOptions {
    bool relaxedHeader = true;         // c= header part: relaxed or simple
    bool relaxedBody = true;           // c= body part
    std::vector<std::string> headers;  // signed besides the usual list
    int64_t expirySeconds = 0;         // x= is t= plus this; 0: no x=
    std::string identity;              // i=, the signing agent's address; empty: none
    int64_t timestamp = 0;             // t=; 0: now (tests fix it)
};

// One DKIM signature (RFC 6376; Ed25519 by RFC 8463) over a rendered
// message. The key is loaded once and checked up front, so a send that
// asked for signing fails before any byte reaches the server.
class DkimSigner {
public:
    DkimSigner();
    ~DkimSigner();
    DkimSigner(DkimSigner&&) noexcept;
    DkimSigner& operator=(DkimSigner&&) noexcept;

    // Checks the names and options and reads the key file (owner-only).
    // False with the reason in the log; the signer is then unusable.
    bool load(const char* domain, const char* selector, const char* keyPath, const DkimOptions& opts, LogBase& log);
    // The same with the key's PEM text.
    bool loadPem(const char* domain, const char* selector, const std::string& pem, const DkimOptions& opts,
                 LogBase& log);
    bool ready() const { return m_ready; }

    // The DKIM-Signature field (with its CRLF) for message, a CRLF text of
    // header and body as it will go out. False with the reason in the log.
    // bodyHash, when given, is the base64 bh= value already computed for
    // this body and canonicalisation (signers of one message share it).
    bool signatureField(const char* message, size_t n, std::string& field, LogBase& log,
                        const std::string* bodyHash = nullptr) const;
    bool relaxedBody() const { return m_opts.relaxedBody; }
    // The bh= value: base64 of the SHA-256 of the canonical body; false when
    // SHA-256 is not available.
    static bool bodyHash(const char* body, size_t n, bool relaxed, std::string& out);
    // Where the body of a message starts (past the empty line, or its end).
    static size_t bodyOffset(const char* message, size_t n);

    // The TXT record value that publishes key's public half ("v=DKIM1; k=...; p=...").
    static bool dnsRecord(const platform::SigningKey& key, std::string& txt);
    // A DNS name of letters, digits, '-' and dots (d=, s=); reason when not.
    static bool checkName(const std::string& name, const char* what, std::string& reason);

private:
    bool checkOptions(std::string& reason) const;
    std::string tagList(const char* message, size_t headerEnd, const std::string& bodyHash) const;
    std::vector<std::string> signedNames(const char* message, size_t headerEnd) const;

    std::unique_ptr<platform::SigningKey> m_key;
    std::string m_domain;
    std::string m_selector;
    DkimOptions m_opts;
    bool m_ready = false;
};

// Signs with each signer in turn, each field prepended, so the last one
// added ends on top (newest first). False, message unchanged, when any fails.
bool dkimSignAll(const std::vector<DkimSigner>& signers, StringBuffer& message, LogBase& log);

}  // namespace ostmail
