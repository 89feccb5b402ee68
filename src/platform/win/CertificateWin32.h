#pragma once
// The server's certificate as CryptoAPI holds it, and the chain check.
#include "platform/TlsProvider.h"
#include "platform/win/SecurityLibrary.h"

namespace ostmail {
namespace platform {
namespace win {

// Owns one certificate context; the store it came from holds what the
// server sent besides it.
class CertificateWin32 : public TlsCertificate {
public:
    explicit CertificateWin32(PCCERT_CONTEXT cert) : m_cert(cert) {}
    ~CertificateWin32() override;
    CertificateWin32(const CertificateWin32&) = delete;
    CertificateWin32& operator=(const CertificateWin32&) = delete;

    std::string subjectDn() const override;
    std::string subjectCn() const override;
    std::string issuerDn() const override;
    std::string issuerCn() const override;
    std::string validFrom() const override;
    std::string validUntil() const override;
    Bytes publicKeySha256() const override;
    PCCERT_CONTEXT context() const { return m_cert; }

private:
    PCCERT_CONTEXT m_cert;
};

// Builds the chain from the system store, the trust settings and the
// server's certificates and runs the SSL policy for host. False when the
// chain could not be built; policyError then stays 0.
bool verifyServerChain(PCCERT_CONTEXT cert, const TlsTrustSettings& trust, const char* host, uint32_t& policyError);

}  // namespace win
}  // namespace platform
}  // namespace ostmail
