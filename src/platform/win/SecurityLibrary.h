#pragma once
// The system libraries behind TLS and logins, loaded on first use so that
// the DLL imports neither: secur32 (the security-support interface) and
// crypt32 (certificates, chains and their policies).
//
// Include after any header of ours that names SEC_E_* or CERT_E_*: the
// system headers define those as macros.
#define SECURITY_WIN32
#include <windows.h>
#include <wincrypt.h>
#include <schannel.h>
#include <security.h>
#include <sspi.h>

#include "platform/win/WideText.h"

#include <string>

namespace ostmail {
namespace platform {
namespace win {

// The function table of secur32.dll; null when the library or its entry
// point is missing.
const SecurityFunctionTableW* securityFunctions();

// The CryptoAPI functions this layer calls.
struct CryptoApi {
    decltype(&CertOpenStore) openStore = nullptr;
    decltype(&CertCloseStore) closeStore = nullptr;
    decltype(&CertAddEncodedCertificateToStore) addEncoded = nullptr;
    decltype(&CertAddStoreToCollection) addToCollection = nullptr;
    decltype(&CertFindCertificateInStore) findInStore = nullptr;
    decltype(&CertFreeCertificateContext) freeCertificate = nullptr;
    decltype(&CertGetCertificateChain) getChain = nullptr;
    decltype(&CertFreeCertificateChain) freeChain = nullptr;
    decltype(&CertVerifyCertificateChainPolicy) verifyPolicy = nullptr;
    decltype(&CryptDecodeObjectEx) decodeObject = nullptr;
    decltype(&CertRDNValueToStrW) rdnValueToStr = nullptr;
    decltype(&CryptStringToBinaryA) stringToBinary = nullptr;
    decltype(&CryptEncodeObjectEx) encodeObject = nullptr;
    decltype(&CryptHashCertificate) hashCertificate = nullptr;
};
// Null when crypt32.dll or one of its functions is missing.
const CryptoApi* cryptoApi();

// UTF-8 of n wide characters, or of a terminated string when n is -1.
std::string narrow(const wchar_t* text, int n = -1);

}  // namespace win
}  // namespace platform
}  // namespace ostmail
