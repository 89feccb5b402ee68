// The names by which protocols, algorithms, statuses and buffers are set
// and logged.
#include "net/SChannelWin32.h"

#include <cstring>

namespace ostmail {

using namespace platform;

namespace {

struct NameEntry {
    uint32_t value;
    const char* name;
};

const char* lookup(const NameEntry* table, size_t n, uint32_t value, const char* fallback) {
    for (size_t i = 0; i < n; ++i)
        if (table[i].value == value) return table[i].name;
    return fallback;
}

StringBuffer folded(const char* name) {
    StringBuffer sb(name ? name : "");
    sb.toLowerCase();
    return sb;
}

}  // namespace

uint32_t SChannelWin32::protocolMaskFromName(const char* name) {
    StringBuffer n = folded(name);
    if (n.equals("tls 1.0")) return SP_PROT_TLS1_0;
    if (n.equals("ssl 3.0")) return SP_PROT_SSL3;
    if (n.equals("ssl 2.0")) return SP_PROT_SSL2;
    if (n.equals("pct 1.0")) return SP_PROT_PCT1;
    return 0;
}

const char* SChannelWin32::protocolMaskName(uint32_t mask) {
    static const NameEntry t[] = {
        {SP_PROT_TLS1_0, "TLS 1.0"}, {SP_PROT_SSL3, "SSL 3.0"}, {SP_PROT_SSL2, "SSL 2.0"}, {SP_PROT_PCT1, "PCT 1.0"}};
    return lookup(t, sizeof t / sizeof t[0], mask, "default");
}

uint32_t SChannelWin32::cipherFromName(const char* name) {
    StringBuffer n = folded(name);
    if (n.equals("3des")) return CALG_3DES;
    if (n.equals("rc2")) return CALG_RC2;
    if (n.containsSubstring("c4")) return CALG_RC4;
    if (n.equals("des")) return CALG_DES;
    if (n.equals("3des two key")) return CALG_3DES_112;
    return 0;
}

const char* SChannelWin32::cipherName(uint32_t alg) {
    static const NameEntry t[] = {{CALG_3DES, "3DES"}, {CALG_RC2, "RC2"},  {CALG_RC4, "ARC4"},
                                  {CALG_DES, "DES"},   {CALG_3DES_112, "3DES TWO KEY"}};
    return lookup(t, sizeof t / sizeof t[0], alg, "ANY");
}

uint32_t SChannelWin32::hashFromName(const char* name) {
    StringBuffer n = folded(name);
    if (n.equals("md5")) return CALG_MD5;
    if (n.equals("sha-1")) return CALG_SHA1;
    return 0;
}

const char* SChannelWin32::hashName(uint32_t alg) {
    static const NameEntry t[] = {{CALG_MD5, "MD5"}, {CALG_SHA1, "SHA-1"}};
    return lookup(t, sizeof t / sizeof t[0], alg, "ANY");
}

uint32_t SChannelWin32::keyExchangeFromName(const char* name) {
    return folded(name).equals("rsa") ? CALG_RSA_KEYX : 0;
}

const char* SChannelWin32::keyExchangeName(uint32_t alg) { return alg == CALG_RSA_KEYX ? "RSA" : "ANY"; }

const char* SChannelWin32::statusName(uint32_t status) {
    static const NameEntry t[] = {
        {SEC_E_OK, "SEC_E_OK"},
        {SEC_I_CONTINUE_NEEDED, "SEC_I_CONTINUE_NEEDED"},
        {SEC_I_COMPLETE_NEEDED, "SEC_I_COMPLETE_NEEDED"},
        {SEC_I_COMPLETE_AND_CONTINUE, "SEC_I_COMPLETE_AND_CONTINUE"},
        {SEC_I_CONTEXT_EXPIRED, "SEC_I_CONTEXT_EXPIRED"},
        {SEC_E_INCOMPLETE_MESSAGE, "SEC_E_INCOMPLETE_MESSAGE"},
        {SEC_E_MESSAGE_ALTERED, "SEC_E_MESSAGE_ALTERED"},
        {SEC_E_UNTRUSTED_ROOT, "SEC_E_UNTRUSTED_ROOT"},
        {SEC_E_DECRYPT_FAILURE, "SEC_E_DECRYPT_FAILURE"},
        {SEC_E_NO_AUTHENTICATING_AUTHORITY, "SEC_E_NO_AUTHENTICATING_AUTHORITY"},
        {SEC_E_NO_CREDENTIALS, "SEC_E_NO_CREDENTIALS"},
        {SEC_E_INTERNAL_ERROR, "SEC_E_INTERNAL_ERROR"},
        {SEC_E_LOGON_DENIED, "SEC_E_LOGON_DENIED"},
        {SEC_E_TARGET_UNKNOWN, "SEC_E_TARGET_UNKNOWN"},
        {SEC_E_UNKNOWN_CREDENTIALS, "SEC_E_UNKNOWN_CREDENTIALS"},
        {SEC_E_INVALID_HANDLE, "SEC_E_INVALID_HANDLE"},
        {SEC_E_INVALID_TOKEN, "SEC_E_INVALID_TOKEN"},
    };
    return lookup(t, sizeof t / sizeof t[0], status, nullptr);
}

const char* SChannelWin32::bufferTypeName(uint32_t type) {
    static const char* const names[] = {"SECBUFFER_EMPTY",         "SECBUFFER_DATA",
                                        "SECBUFFER_TOKEN",         "SECBUFFER_PKG_PARAMS",
                                        "SECBUFFER_MISSING",       "SECBUFFER_EXTRA",
                                        "SECBUFFER_STREAM_TRAILER", "SECBUFFER_STREAM_HEADER",
                                        "SECBUFFER_NEGOTIATION_INFO", "SECBUFFER_PADDING",
                                        "SECBUFFER_STREAM"};
    return type < sizeof names / sizeof names[0] ? names[type] : nullptr;
}

const char* SChannelWin32::policyErrorName(uint32_t code) {
    static const NameEntry t[] = {
        {CERT_E_EXPIRED, "CERT_E_EXPIRED"},
        {CERT_E_VALIDITYPERIODNESTING, "CERT_E_VALIDITYPERIODNESTING"},
        {CERT_E_ROLE, "CERT_E_ROLE"},
        {CERT_E_PATHLENCONST, "CERT_E_PATHLENCONST"},
        {CERT_E_CRITICAL, "CERT_E_CRITICAL"},
        {CERT_E_PURPOSE, "CERT_E_PURPOSE"},
        {CERT_E_ISSUERCHAINING, "CERT_E_ISSUERCHAINING"},
        {CERT_E_MALFORMED, "CERT_E_MALFORMED"},
        {CERT_E_CHAINING, "CERT_E_CHAINING"},
        {TRUST_E_FAIL, "TRUST_E_FAIL"},
        {CERT_E_REVOKED, "CERT_E_REVOKED"},
        {CERT_E_REVOCATION_FAILURE, "CERT_E_REVOCATION_FAILURE"},
        {CERT_E_CN_NO_MATCH, "CERT_E_CN_NO_MATCH"},
        {CERT_E_WRONG_USAGE, "CERT_E_WRONG_USAGE"},
    };
    if (code == CERT_E_UNTRUSTEDROOT || code == CERT_E_UNTRUSTEDTESTROOT) return nullptr;
    return lookup(t, sizeof t / sizeof t[0], code, "(unknown)");
}

}  // namespace ostmail
