// What the user is told about a server certificate, and the pinned key.
#include "core/ContentCoding.h"
#include "core/LogBase.h"
#include "net/SChannelWin32.h"
#include "platform/Clock.h"

#include <cstdio>

namespace ostmail {

using namespace platform;

namespace {

// "YYYY-MM-DD" of a Unix time (days to civil date, proleptic Gregorian).
std::string dayOf(int64_t unixTime) {
    int64_t z = (unixTime >= 0 ? unixTime : unixTime - 86399) / 86400 + 719468;
    int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    int64_t doe = z - era * 146097;
    int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    int64_t mp = (5 * doy + 2) / 153;
    int64_t day = doy - (153 * mp + 2) / 5 + 1, month = mp < 10 ? mp + 3 : mp - 9;
    int64_t year = yoe + era * 400 + (month <= 2);
    char text[64];
    std::snprintf(text, sizeof text, "%04lld-%02lld-%02lld", static_cast<long long>(year),
                  static_cast<long long>(month), static_cast<long long>(day));
    return text;
}

std::string base64(const Bytes& bytes) {
    StringBuffer sb;
    ContentCoding::encodeBase64Flat(bytes.data(), bytes.size(), sb);
    return sb.toStdString();
}

}  // namespace

void SChannelWin32::describeProblem(uint32_t policyError) {
    const TlsCertificate& c = *m_serverCert;
    switch (policyError) {
    case 0: m_certProblem.clear(); return;
    case CERT_E_CN_NO_MATCH: {
        std::string cn = c.subjectCn();
        m_certProblem = "certificate for " + (cn.empty() ? std::string("another name") : cn) + ", not " +
                        m_hostname.getString();
        return;
    }
    case CERT_E_UNTRUSTEDROOT:
        m_certProblem = c.subjectDn() == c.issuerDn()
                            ? "self-signed"
                            : "issued by an authority not trusted here (" + c.issuerCn() + ")";
        return;
    case CERT_E_EXPIRED: {
        std::string until = c.validUntil();
        bool past = !until.empty() && until < dayOf(unixTimeNow());
        m_certProblem = past ? "expired " + until : "not valid before " + c.validFrom();
        return;
    }
    case CERT_E_REVOKED: m_certProblem = "revoked"; return;
    case CERT_E_REVOCATION_FAILURE: m_certProblem = "its revocation could not be checked"; return;
    case CERT_E_WRONG_USAGE: m_certProblem = "not meant for a server"; return;
    case TRUST_E_CERT_SIGNATURE: m_certProblem = "its signature does not verify"; return;
    default: {
        char text[48];
        std::snprintf(text, sizeof text, "it does not verify (0x%x)", policyError);
        m_certProblem = text;
    }
    }
}

// RFC 7469's pin: the SHA-256 of the SubjectPublicKeyInfo.
bool SChannelWin32::checkPinnedKey(LogBase& log) {
    if (m_pinnedKey.empty()) return true;
    Bytes key = m_serverCert->publicKeySha256();
    if (!key.empty() && key == m_pinnedKey) {
        m_pinMatched = true;
        log.LogInfo("Server public key matches the pinned key.");
        return true;
    }
    std::string got = key.empty() ? "unknown" : base64(key);
    log.LogError(("Server public key refused: its sha256 is " + got + ", not the pinned " + base64(m_pinnedKey))
                     .c_str());
    return false;
}

}  // namespace ostmail
