#include "core/EncodingConvert.h"
#include "core/LogBase.h"
#include "smtp/ClsNtlm.h"
#include "smtp/NtlmMessage.h"

#include <cstring>
#include <vector>

namespace ostmail {

namespace {

constexpr uint32_t kCodePageUtf8 = 65001;

void setFromUtf16Le(XString& out, const unsigned char* p, uint32_t bytes) {
    std::vector<uint16_t> units(bytes / 2);
    for (size_t i = 0; i < units.size(); ++i) units[i] = ntlmmsg::readU16(p + 2 * i);
    out.setFromUnicode(units.data(), units.size());
}

void setFromOem(XString& out, const DataBuffer& bytes, uint32_t oemCodePage) {
    DataBuffer utf8;
    EncodingConvert conv;
    conv.setErrorAction(EncodingConvert::kAltCodePage);
    LogNull quiet;
    conv.convert(oemCodePage, kCodePageUtf8, bytes.getData(), bytes.getSize(), utf8, quiet);
    out.setFromUtf8(reinterpret_cast<const char*>(utf8.getData()), utf8.getSize());
}

}  // namespace

bool ClsNtlm::parseType2(const DataBuffer& msg, Type2& t2, LogBase& log) {
    m_targetName.clear();
    m_nbComputer.clear();
    m_nbDomain.clear();
    m_dnsComputer.clear();
    m_dnsDomain.clear();
    uint32_t minSize = m_lenientType2 ? ntlmmsg::kType2ShortSize : ntlmmsg::kType2MinSize;
    if (msg.getSize() < minSize) {
        log.LogError("TYPE2 message is not long enough.");
        return false;
    }
    const unsigned char* p = msg.getData();
    if (std::memcmp(p, "NTLMSSP", 7) != 0) {
        log.LogError("Expected TYPE2 message to begin with NTLMSSP.");
        return false;
    }
    if (ntlmmsg::readU32(p + 8) != 2) {
        log.LogError("TYPE2 message type not equal to 2");
        return false;
    }
    t2.flags = ntlmmsg::readU32(p + ntlmmsg::kType2Flags);
    DataBuffer target;
    if (!ntlmmsg::readBuffer(msg, ntlmmsg::kType2TargetName, target)) {
        log.LogError("Failed to get target name from TYPE2 message.");
        return false;
    }
    if (t2.flags & kFlagUnicode) {
        setFromUtf16Le(m_targetName, target.getData(), target.getSize());
    } else {
        setFromOem(m_targetName, target, static_cast<uint32_t>(m_oemCodePage));
    }
    std::memcpy(t2.challenge, p + ntlmmsg::kType2Challenge, 8);
    m_serverChallenge.clear();
    m_serverChallenge.append(t2.challenge, 8);
    bool hasInfo = msg.getSize() >= ntlmmsg::kType2TargetInfo + 8;
    if (hasInfo && !ntlmmsg::readBuffer(msg, ntlmmsg::kType2TargetInfo, t2.targetInfo)) {
        log.LogError("Failed to get target info data from TYPE2 message.");
        return false;
    }
    readTargetInfo(t2.targetInfo);
    return true;
}

// Entries: identifier (16), length (16), value. Identifier 0 ends the list.
void ClsNtlm::readTargetInfo(const DataBuffer& info) {
    XString* names[4] = {&m_nbComputer, &m_nbDomain, &m_dnsComputer, &m_dnsDomain};
    const unsigned char* p = info.getData();
    uint32_t left = info.getSize();
    while (left >= 4) {
        uint16_t id = ntlmmsg::readU16(p);
        uint16_t len = ntlmmsg::readU16(p + 2);
        if (id == 0 || len > left - 4) break;
        if (id >= 1 && id <= 4) setFromUtf16Le(*names[id - 1], p + 4, len);
        p += 4 + len;
        left -= 4 + len;
    }
}

}  // namespace ostmail
