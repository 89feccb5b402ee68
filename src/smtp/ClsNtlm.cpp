#include "smtp/ClsNtlm.h"

#include "core/ContentCoding.h"
#include "core/LogBase.h"
#include "email/VelmoraRand.h"
#include "platform/Clock.h"
#include "platform/SysInfo.h"
#include "smtp/NtlmMessage.h"
#include "smtp/NtlmResponses.h"

#include <cstring>

namespace ostmail {

using Lock = std::lock_guard<platform::CriticalSection>;

ClsNtlm::ClsNtlm() : m_oemCodePage(static_cast<int32_t>(platform::oemCodePage())) {}

ClsNtlm::~ClsNtlm() {
    m_password.clear();
}

void ClsNtlm::put_UserName(XString& v) { Lock l(m_cs); m_userName.copyFrom(v); }
void ClsNtlm::get_UserName(XString& out) { Lock l(m_cs); out.copyFrom(m_userName); }
void ClsNtlm::put_Password(XString& v) { Lock l(m_cs); m_password.copyFrom(v); }
void ClsNtlm::get_Password(XString& out) { Lock l(m_cs); out.copyFrom(m_password); }
void ClsNtlm::put_Domain(XString& v) { Lock l(m_cs); m_domain.copyFrom(v); }
void ClsNtlm::get_Domain(XString& out) { Lock l(m_cs); out.copyFrom(m_domain); }
void ClsNtlm::put_Workstation(XString& v) { Lock l(m_cs); m_workstation.copyFrom(v); }
void ClsNtlm::get_Workstation(XString& out) { Lock l(m_cs); out.copyFrom(m_workstation); }
void ClsNtlm::get_TargetName(XString& out) { Lock l(m_cs); out.copyFrom(m_targetName); }
void ClsNtlm::get_NetBiosComputerName(XString& out) { Lock l(m_cs); out.copyFrom(m_nbComputer); }
void ClsNtlm::get_NetBiosDomainName(XString& out) { Lock l(m_cs); out.copyFrom(m_nbDomain); }
void ClsNtlm::get_DnsComputerName(XString& out) { Lock l(m_cs); out.copyFrom(m_dnsComputer); }
void ClsNtlm::get_DnsDomainName(XString& out) { Lock l(m_cs); out.copyFrom(m_dnsDomain); }

int32_t ClsNtlm::get_NtlmVersion() { Lock l(m_cs); return m_ntlmVersion; }
void ClsNtlm::put_NtlmVersion(int32_t v) { Lock l(m_cs); m_ntlmVersion = (v == 2) ? 2 : 1; }
int32_t ClsNtlm::get_OemCodePage() { Lock l(m_cs); return m_oemCodePage; }
void ClsNtlm::put_OemCodePage(int32_t cp) { Lock l(m_cs); m_oemCodePage = cp; }
uint32_t ClsNtlm::get_Flags() { Lock l(m_cs); return m_flags; }

void ClsNtlm::SetFlag(uint32_t flag, bool on) {
    Lock l(m_cs);
    m_flags = on ? (m_flags | flag) : (m_flags & ~flag);
}

void ClsNtlm::ClearFlags() { Lock l(m_cs); m_flags = 0; }

void ClsNtlm::put_ClientChallenge(const DataBuffer& v) {
    Lock l(m_cs);
    m_clientChallenge.clear();
    m_clientChallenge.append(v);
}

void ClsNtlm::put_LenientType2(bool on) {
    Lock l(m_cs);
    m_lenientType2 = on;
}

void ClsNtlm::put_FixedTimestamp(uint64_t fileTime) {
    Lock l(m_cs);
    m_fixedTime = true;
    m_fileTime = fileTime;
}

void ClsNtlm::appendVersion(DataBuffer& msg) const {
    msg.appendByte(kVersionMajor);
    msg.appendByte(kVersionMinor);
    msg.appendUInt16LE(kVersionBuild);
    msg.appendByteN(0, 3);
    msg.appendByte(0x0F);  // NTLMSSP revision 15
}

void ClsNtlm::appendText(XString& text, bool unicode, DataBuffer& out) {
    if (!unicode) {
        NtlmResponses::toOem(text, static_cast<uint32_t>(m_oemCodePage), out);
        return;
    }
    const uint16_t* u = text.getUnicode();
    uint32_t n = text.getUnicodeUnits();
    for (uint32_t i = 0; i < n; ++i) out.appendUInt16LE(u[i]);
}

bool ClsNtlm::GenType1(XString& out, LogBase& log) {
    Lock l(m_cs);
    DataBuffer msg;
    genType1Bytes(msg, log);
    StringBuffer b64;
    ContentCoding::encodeBase64Flat(msg.getData(), msg.getSize(), b64);
    out.setFromSb(b64);
    return true;
}

bool ClsNtlm::genType1Bytes(DataBuffer& msg, LogBase& log) {
    Lock l(m_cs);
    LogContextExitor ctx(log, "GenType1");
    msg.clear();
    ntlmmsg::appendHeader(msg, 1);
    SetFlag(kFlagDomainSupplied, !m_domain.isEmpty());
    SetFlag(kFlagWorkstationSupplied, !m_workstation.isEmpty());
    log.LogDataHex("t1_flags", m_flags);
    msg.appendUInt32LE(m_flags);
    msg.appendByteN(0, 16);
    if (m_flags & kFlagVersion) appendVersion(msg);
    // Type 1 carries both names in ANSI, whatever the Unicode flag says.
    const char* domain = m_domain.getAnsi();
    ntlmmsg::appendPayload(msg, ntlmmsg::kType1Domain, domain, std::strlen(domain));
    const char* workstation = m_workstation.getAnsi();
    ntlmmsg::appendPayload(msg, ntlmmsg::kType1Workstation, workstation, std::strlen(workstation));
    return true;
}

bool ClsNtlm::GenType3(XString& type2, XString& out, LogBase& log) {
    Lock l(m_cs);
    const StringBuffer& text = type2.getUtf8Sb();
    DataBuffer decoded;
    ContentCoding::decodeBase64(text.getString(), text.getSize(), decoded);
    DataBuffer msg;
    if (!genType3Bytes(decoded, msg, log)) return false;
    StringBuffer b64;
    ContentCoding::encodeBase64Flat(msg.getData(), msg.getSize(), b64);
    out.setFromSb(b64);
    return true;
}

void ClsNtlm::logType2(const Type2& t2, LogBase& log) {
    log.LogData("TargetName", m_targetName.getUtf8());
    log.LogData("nbComputer", m_nbComputer.getUtf8());
    log.LogData("nbDomain", m_nbDomain.getUtf8());
    log.LogData("dnsComputer", m_dnsComputer.getUtf8());
    log.LogData("dnsDomain", m_dnsDomain.getUtf8());
    log.LogDataHex("t2_flags", t2.flags);
}

void ClsNtlm::clientChallenge(unsigned char out[8]) {
    if (m_clientChallenge.getSize() == 8) {
        std::memcpy(out, m_clientChallenge.getData(), 8);
        return;
    }
    for (int i = 0; i < 8; i += 4) {
        uint32_t w = VelmoraRand::nextWord();
        std::memcpy(out + i, &w, 4);
    }
}

uint64_t ClsNtlm::timestamp() const {
    if (m_fixedTime) return m_fileTime;
    // Windows file time: 100 ns steps since 1601-01-01 UTC.
    const uint64_t kEpochDelta = 11644473600ULL;
    return (static_cast<uint64_t>(platform::unixTimeNow()) + kEpochDelta) * 10000000ULL;
}

void ClsNtlm::computeResponses(const Type2& t2, DataBuffer& lm, DataBuffer& nt, LogBase& log) {
    unsigned char client[8];
    clientChallenge(client);
    log.LogDataLong("NtlmVersion", m_ntlmVersion);
    if (m_ntlmVersion == 2) {
        NtlmResponses::v2(m_userName, m_domain, m_password, t2.challenge, client, timestamp(), t2.targetInfo, lm,
                          nt);
    } else {
        NtlmResponses::v1(m_password, static_cast<uint32_t>(m_oemCodePage), t2.flags, t2.challenge, client, lm,
                          nt);
    }
    log.LogDataHexDump("LmResponse", lm.getData(), lm.getSize());
    log.LogDataHexDump("NtResponse", nt.getData(), nt.getSize());
}

bool ClsNtlm::genType3Bytes(const DataBuffer& type2, DataBuffer& msg, LogBase& log) {
    Lock l(m_cs);
    LogContextExitor ctx(log, "GenType3");
    msg.clear();
    Type2 t2;
    if (!parseType2(type2, t2, log)) {
        log.LogError("Failed to decode TYPE2 input message.");
        return false;
    }
    logType2(t2, log);

    ntlmmsg::appendHeader(msg, 3);
    msg.appendByteN(0, 6 * 8);
    uint32_t flags = m_flags & t2.flags;
    log.LogDataHex("t3_flags", flags);
    msg.appendUInt32LE(flags);
    if (flags & kFlagVersion) {
        log.LogInfo("Adding version structure to TYPE3 message.");
        appendVersion(msg);
    }
    bool unicode = (flags & kFlagUnicode) != 0;
    XString* texts[3] = {&m_domain, &m_userName, &m_workstation};
    const uint32_t slots[3] = {ntlmmsg::kType3Domain, ntlmmsg::kType3User, ntlmmsg::kType3Workstation};
    for (int i = 0; i < 3; ++i) {
        DataBuffer bytes;
        appendText(*texts[i], unicode, bytes);
        ntlmmsg::appendPayload(msg, slots[i], bytes.getData(), bytes.getSize());
    }
    DataBuffer lm, nt;
    computeResponses(t2, lm, nt, log);
    ntlmmsg::appendPayload(msg, ntlmmsg::kType3Lm, lm.getData(), lm.getSize());
    ntlmmsg::appendPayload(msg, ntlmmsg::kType3Nt, nt.getData(), nt.getSize());
    return true;
}

}  // namespace ostmail
