#pragma once
#include "core/ClsBase.h"
#include "core/DataBuffer.h"
#include "core/StringBuffer.h"
#include "core/XString.h"
#include "platform/CriticalSection.h"

#include <cstdint>
#include <mutex>

namespace ostmail {

class LogBase;

// The client side of NTLM (MS-NLMP): builds the negotiate (Type 1) and
// authenticate (Type 3) messages and reads the server's challenge (Type 2).
// Pure message building: text or bytes in, bytes out, no connection.
// One object serves one login; every operation holds its lock.
class ClsNtlm : public ClsBase {
public:
    static constexpr uint32_t kFlagUnicode = 0x00000001;
    static constexpr uint32_t kFlagOem = 0x00000002;
    static constexpr uint32_t kFlagRequestTarget = 0x00000004;
    static constexpr uint32_t kFlagNtlm = 0x00000200;
    static constexpr uint32_t kFlagNtOnly = 0x00000400;
    static constexpr uint32_t kFlagDomainSupplied = 0x00001000;
    static constexpr uint32_t kFlagWorkstationSupplied = 0x00002000;
    static constexpr uint32_t kFlagAlwaysSign = 0x00008000;
    static constexpr uint32_t kFlagSessionSecurity = 0x00080000;
    static constexpr uint32_t kFlagVersion = 0x02000000;
    static constexpr uint32_t kDefaultFlags = 0x00088207;

    // No Windows runs here; the version structure names Windows 7 SP1.
    static constexpr unsigned char kVersionMajor = 6;
    static constexpr unsigned char kVersionMinor = 1;
    static constexpr uint16_t kVersionBuild = 7601;

    ClsNtlm();
    ~ClsNtlm() override;

    // Base64 of the Type 1 message; cannot fail.
    bool GenType1(XString& out, LogBase& log);
    // Base64 of the Type 3 answer to a base64 Type 2; false when the Type 2
    // cannot be read.
    bool GenType3(XString& type2, XString& out, LogBase& log);
    // The same on raw message bytes, for the security-package path.
    bool genType1Bytes(DataBuffer& out, LogBase& log);
    bool genType3Bytes(const DataBuffer& type2, DataBuffer& out, LogBase& log);

    void put_UserName(XString& v);
    void get_UserName(XString& out);
    void put_Password(XString& v);
    void get_Password(XString& out);
    void put_Domain(XString& v);
    void get_Domain(XString& out);
    void put_Workstation(XString& v);
    void get_Workstation(XString& out);
    // What the last Type 2 named (empty before one was read).
    void get_TargetName(XString& out);
    void get_NetBiosComputerName(XString& out);
    void get_NetBiosDomainName(XString& out);
    void get_DnsComputerName(XString& out);
    void get_DnsDomainName(XString& out);

    int32_t get_NtlmVersion();
    void put_NtlmVersion(int32_t v);  // anything but 2 stores 1
    int32_t get_OemCodePage();
    void put_OemCodePage(int32_t cp);
    uint32_t get_Flags();
    void SetFlag(uint32_t flag, bool on);
    void ClearFlags();
    // Exactly 8 bytes replace the random client challenge; anything else
    // restores the random one.
    void put_ClientChallenge(const DataBuffer& v);
    // Read a challenge as the security package does (MS-NLMP 2.2.1.2): from
    // 32 bytes up, its target information only when the message holds one.
    // Off by default: a challenge under 60 bytes is then refused.
    void put_LenientType2(bool on);
    // A fixed NTLMv2 time stamp (Windows file time) instead of the clock.
    void put_FixedTimestamp(uint64_t fileTime);

private:
    struct Type2;
    bool parseType2(const DataBuffer& msg, Type2& t2, LogBase& log);
    void readTargetInfo(const DataBuffer& info);
    void appendVersion(DataBuffer& msg) const;
    void appendText(XString& text, bool unicode, DataBuffer& out);
    void clientChallenge(unsigned char out[8]);
    uint64_t timestamp() const;
    void logType2(const Type2& t2, LogBase& log);
    void computeResponses(const Type2& t2, DataBuffer& lm, DataBuffer& nt, LogBase& log);

    platform::CriticalSection m_cs;
    int32_t m_ntlmVersion = 1;
    int32_t m_oemCodePage;
    uint32_t m_flags = kDefaultFlags;
    XString m_domain;
    XString m_workstation;
    XString m_targetName;
    XString m_nbComputer;
    XString m_nbDomain;
    XString m_dnsComputer;
    XString m_dnsDomain;
    DataBuffer m_serverChallenge;
    XString m_userName;
    XString m_password;
    DataBuffer m_clientChallenge;
    bool m_lenientType2 = false;
    bool m_fixedTime = false;
    uint64_t m_fileTime = 0;
};

}  // namespace ostmail
