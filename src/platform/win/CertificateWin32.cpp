#include "platform/win/CertificateWin32.h"

#include "platform/FileSystem.h"

#include <cstdio>
#include <cstring>
#include <memory>

namespace ostmail {
namespace platform {
namespace win {

namespace {

struct StoreClose {
    void operator()(HCERTSTORE s) const { cryptoApi()->closeStore(s, 0); }
};
using Store = std::unique_ptr<void, StoreClose>;
struct ChainFree {
    void operator()(PCCERT_CHAIN_CONTEXT c) const { cryptoApi()->freeChain(c); }
};
struct CertFree {
    void operator()(PCCERT_CONTEXT c) const { cryptoApi()->freeCertificate(c); }
};
struct LocalMemFree {
    void operator()(void* p) const { LocalFree(p); }
};

// --- names -----------------------------------------------------------------

const char* attributeKey(const char* oid) {
    static const struct {
        const char* oid;
        const char* key;
    } keys[] = {{"2.5.4.3", "CN"},   {"2.5.4.6", "C"},       {"2.5.4.7", "L"},
                {"2.5.4.8", "ST"},   {"2.5.4.10", "O"},      {"2.5.4.11", "OU"},
                {"2.5.4.9", "street"}, {"2.5.4.5", "serialNumber"}, {"2.5.4.4", "SN"},
                {"2.5.4.42", "GN"},  {"2.5.4.12", "title"},  {"0.9.2342.19200300.100.1.25", "DC"},
                {"0.9.2342.19200300.100.1.1", "UID"}, {"1.2.840.113549.1.9.1", "emailAddress"}};
    for (const auto& k : keys)
        if (std::strcmp(k.oid, oid) == 0) return k.key;
    return oid;
}

std::string attributeValue(const CERT_RDN_ATTR& attr) {
    auto& value = const_cast<CERT_RDN_VALUE_BLOB&>(attr.Value);
    DWORD n = cryptoApi()->rdnValueToStr(attr.dwValueType, &value, nullptr, 0);
    if (n <= 1) return std::string();
    std::wstring text(n, L'\0');
    n = cryptoApi()->rdnValueToStr(attr.dwValueType, &value, &text[0], n);
    return narrow(text.c_str());
}

// The RFC 2253 escapes, so that a name compares equal on every platform.
std::string escaped(const std::string& v) {
    std::string out;
    for (size_t i = 0; i < v.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(v[i]);
        bool edge = (i == 0 && (c == ' ' || c == '#')) || (i + 1 == v.size() && c == ' ');
        if (edge || (c && std::strchr(",+\"\\<>;", c))) {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7F) {
            static const char hex[] = "0123456789ABCDEF";
            out += '\\';
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

// Calls f for every attribute, the last name component first.
template <typename F>
bool forEachAttribute(const CERT_NAME_BLOB& name, F f) {
    CERT_NAME_INFO* info = nullptr;
    DWORD size = 0;
    if (!cryptoApi()->decodeObject(X509_ASN_ENCODING, X509_NAME, name.pbData, name.cbData, CRYPT_DECODE_ALLOC_FLAG,
                                   nullptr, &info, &size))
        return false;
    std::unique_ptr<void, LocalMemFree> hold(info);
    for (DWORD r = info->cRDN; r-- > 0;)
        for (DWORD a = 0; a < info->rgRDN[r].cRDNAttr; ++a) f(info->rgRDN[r].rgRDNAttr[a], r, a);
    return true;
}

std::string distinguishedName(const CERT_NAME_BLOB& name) {
    std::string out;
    forEachAttribute(name, [&out](const CERT_RDN_ATTR& attr, DWORD, DWORD index) {
        if (!out.empty()) out += index ? '+' : ',';
        out += attributeKey(attr.pszObjId);
        out += '=';
        out += escaped(attributeValue(attr));
    });
    return out;
}

// The first common name in encoded order.
std::string commonName(const CERT_NAME_BLOB& name) {
    std::string cn;
    DWORD at = ~0u;
    forEachAttribute(name, [&](const CERT_RDN_ATTR& attr, DWORD rdn, DWORD) {
        if (std::strcmp(attr.pszObjId, szOID_COMMON_NAME) == 0 && rdn <= at) {
            at = rdn;
            cn = attributeValue(attr);
        }
    });
    return cn;
}

// --- trust anchors ---------------------------------------------------------

void addEncoded(HCERTSTORE store, const BYTE* der, DWORD n) {
    cryptoApi()->addEncoded(store, X509_ASN_ENCODING, der, n, CERT_STORE_ADD_USE_EXISTING, nullptr);
}

// Every PEM certificate in text, or the whole text as one DER certificate.
void addCertificates(HCERTSTORE store, const std::string& text) {
    static const char begin[] = "-----BEGIN CERTIFICATE-----";
    static const char end[] = "-----END CERTIFICATE-----";
    size_t at = text.find(begin);
    if (at == std::string::npos)
        return addEncoded(store, reinterpret_cast<const BYTE*>(text.data()), static_cast<DWORD>(text.size()));
    while (at != std::string::npos) {
        size_t stop = text.find(end, at);
        if (stop == std::string::npos) return;
        stop += sizeof end - 1;
        DWORD n = 0;
        const char* pem = text.data() + at;
        DWORD len = static_cast<DWORD>(stop - at);
        if (cryptoApi()->stringToBinary(pem, len, CRYPT_STRING_BASE64HEADER, nullptr, &n, nullptr, nullptr)) {
            std::string der(n, '\0');
            if (cryptoApi()->stringToBinary(pem, len, CRYPT_STRING_BASE64HEADER, reinterpret_cast<BYTE*>(&der[0]),
                                            &n, nullptr, nullptr))
                addEncoded(store, reinterpret_cast<const BYTE*>(der.data()), n);
        }
        at = text.find(begin, stop);
    }
}

void addFile(HCERTSTORE store, const std::string& path) {
    std::string text;
    if (readWholeFile(path.c_str(), text)) addCertificates(store, text);
}

// Every file of the folder: the hashed names of a c_rehash folder and
// plain .pem files alike.
void addFolder(HCERTSTORE store, const std::string& dir) {
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW(widen((dir + "\\*").c_str()).c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) addFile(store, dir + "\\" + narrow(entry.cFileName));
    } while (FindNextFileW(find, &entry));
    FindClose(find);
}

Store anchorStore(const TlsTrustSettings& trust) {
    Store store(cryptoApi()->openStore(CERT_STORE_PROV_MEMORY, 0, 0, CERT_STORE_CREATE_NEW_FLAG, nullptr));
    if (!store) return store;
    if (!trust.caFile.empty()) addFile(store.get(), trust.caFile);
    if (!trust.caDir.empty()) addFolder(store.get(), trust.caDir);
    return store;
}

// What the server sent plus the anchors, for the chain engine to search.
Store searchStore(PCCERT_CONTEXT cert, HCERTSTORE anchors) {
    Store all(cryptoApi()->openStore(CERT_STORE_PROV_COLLECTION, 0, 0, 0, nullptr));
    if (!all) return all;
    if (cert->hCertStore) cryptoApi()->addToCollection(all.get(), cert->hCertStore, 0, 0);
    if (anchors) cryptoApi()->addToCollection(all.get(), anchors, 0, 0);
    return all;
}

// A chain the system does not trust whose root is one of our anchors.
bool endsInAnchor(PCCERT_CHAIN_CONTEXT chain, HCERTSTORE anchors) {
    if (!anchors || !(chain->TrustStatus.dwErrorStatus & CERT_TRUST_IS_UNTRUSTED_ROOT) || chain->cChain == 0)
        return false;
    const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
    if (simple->cElement == 0) return false;
    PCCERT_CONTEXT root = simple->rgpElement[simple->cElement - 1]->pCertContext;
    PCCERT_CONTEXT found =
        cryptoApi()->findInStore(anchors, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, root, nullptr);
    if (!found) return false;
    cryptoApi()->freeCertificate(found);
    return true;
}

uint32_t sslPolicyError(PCCERT_CHAIN_CONTEXT chain, const char* host, bool privateRoot, bool& ran) {
    std::wstring server = widen(host);
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl;
    std::memset(&ssl, 0, sizeof ssl);
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.fdwChecks = privateRoot ? 0x00000100 : 0;  // SECURITY_FLAG_IGNORE_UNKNOWN_CA
    ssl.pwszServerName = &server[0];
    CERT_CHAIN_POLICY_PARA para;
    std::memset(&para, 0, sizeof para);
    para.cbSize = sizeof para;
    para.dwFlags = privateRoot ? CERT_CHAIN_POLICY_ALLOW_UNKNOWN_CA_FLAG : 0;
    para.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS status;
    std::memset(&status, 0, sizeof status);
    status.cbSize = sizeof status;
    ran = cryptoApi()->verifyPolicy(CERT_CHAIN_POLICY_SSL, chain, &para, &status) != FALSE;
    return ran ? static_cast<uint32_t>(status.dwError) : 0;
}

// The chain's own verdict where the policy found nothing: Wine's SSL policy
// passes a chain that stops short of any root. Ranked as on Linux.
uint32_t chainStatusError(DWORD status, bool privateRoot) {
    if ((status & CERT_TRUST_IS_PARTIAL_CHAIN) || ((status & CERT_TRUST_IS_UNTRUSTED_ROOT) && !privateRoot))
        return static_cast<uint32_t>(CERT_E_UNTRUSTEDROOT);
    if (status & CERT_TRUST_IS_NOT_SIGNATURE_VALID) return static_cast<uint32_t>(TRUST_E_CERT_SIGNATURE);
    if (status & CERT_TRUST_IS_REVOKED) return static_cast<uint32_t>(CERT_E_REVOKED);
    if (status & CERT_TRUST_IS_NOT_TIME_VALID) return static_cast<uint32_t>(CERT_E_EXPIRED);
    return 0;
}

}  // namespace

CertificateWin32::~CertificateWin32() {
    if (m_cert) cryptoApi()->freeCertificate(m_cert);
}

std::string CertificateWin32::subjectDn() const { return distinguishedName(m_cert->pCertInfo->Subject); }
std::string CertificateWin32::subjectCn() const { return commonName(m_cert->pCertInfo->Subject); }
std::string CertificateWin32::issuerDn() const { return distinguishedName(m_cert->pCertInfo->Issuer); }
std::string CertificateWin32::issuerCn() const { return commonName(m_cert->pCertInfo->Issuer); }

namespace {

std::string dayOf(const FILETIME& t) {
    SYSTEMTIME st;
    if (!FileTimeToSystemTime(&t, &st)) return std::string();
    char text[16];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u", st.wYear % 10000u, st.wMonth % 100u, st.wDay % 100u);
    return text;
}

}  // namespace

std::string CertificateWin32::validFrom() const { return dayOf(m_cert->pCertInfo->NotBefore); }
std::string CertificateWin32::validUntil() const { return dayOf(m_cert->pCertInfo->NotAfter); }

// The DER SubjectPublicKeyInfo, hashed: the same bytes a pin names everywhere.
Bytes CertificateWin32::publicKeySha256() const {
    BYTE* der = nullptr;
    DWORD n = 0;
    if (!cryptoApi()->encodeObject(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, &m_cert->pCertInfo->SubjectPublicKeyInfo,
                                   CRYPT_ENCODE_ALLOC_FLAG, nullptr, &der, &n))
        return Bytes();
    std::unique_ptr<void, LocalMemFree> hold(der);
    Bytes digest(32);
    DWORD size = static_cast<DWORD>(digest.size());
    if (!cryptoApi()->hashCertificate(0, CALG_SHA_256, 0, der, n, digest.data(), &size) || size != 32)
        return Bytes();
    return digest;
}

bool verifyServerChain(PCCERT_CONTEXT cert, const TlsTrustSettings& trust, const char* host, uint32_t& policyError) {
    policyError = 0;
    if (!cryptoApi() || !cert) return false;
    Store anchors = anchorStore(trust);
    Store search = searchStore(cert, anchors.get());
    LPSTR serverAuth = const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH);
    CERT_CHAIN_PARA para;
    std::memset(&para, 0, sizeof para);
    para.cbSize = sizeof para;
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = &serverAuth;
    PCCERT_CHAIN_CONTEXT raw = nullptr;
    if (!cryptoApi()->getChain(nullptr, cert, nullptr, search.get(), &para, 0, nullptr, &raw) || !raw) return false;
    std::unique_ptr<const CERT_CHAIN_CONTEXT, ChainFree> chain(raw);
    bool ran = false;
    bool privateRoot = endsInAnchor(chain.get(), anchors.get());
    policyError = sslPolicyError(chain.get(), host, privateRoot, ran);
    if (ran && policyError == 0) policyError = chainStatusError(chain->TrustStatus.dwErrorStatus, privateRoot);
    return ran;
}

}  // namespace win
}  // namespace platform
}  // namespace ostmail
