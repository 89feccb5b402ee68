#pragma once
#include "core/DataBuffer.h"
#include "core/StringBuffer.h"
#include "core/XString.h"

#include <cstdint>
#include <memory>

namespace ostmail {

class ClsNtlm;
namespace platform {
class SspiLogin;
}
class LogBase;
class PackageExchange;

// Status values of the security-support interface that the handshake sees.
namespace secstatus {
constexpr uint32_t kOk = 0;
constexpr uint32_t kContinueNeeded = 0x00090312;
constexpr uint32_t kCompleteNeeded = 0x00090313;
constexpr uint32_t kCompleteAndContinue = 0x00090314;
constexpr uint32_t kInsufficientMemory = 0x80090300;
constexpr uint32_t kInvalidHandle = 0x80090301;
constexpr uint32_t kTargetUnknown = 0x80090303;
constexpr uint32_t kInternalError = 0x80090304;
constexpr uint32_t kSecPkgNotFound = 0x80090305;
constexpr uint32_t kNotOwner = 0x80090306;
constexpr uint32_t kInvalidToken = 0x80090308;
constexpr uint32_t kLogonDenied = 0x8009030C;
constexpr uint32_t kUnknownCredentials = 0x8009030D;
constexpr uint32_t kNoCredentials = 0x8009030E;
constexpr uint32_t kNoAuthenticatingAuthority = 0x80090311;
}  // namespace secstatus

// The authentication packages of the security-support interface and the
// client handshake over them. The one package offered is "NTLM": the
// system's own where it has one (with the logged-on account's credentials
// for "default"), else ClsNtlm, where "default" credentials fail as having
// none.
class VelmoraSSPI {
public:
    VelmoraSSPI();
    ~VelmoraSSPI();
    VelmoraSSPI(const VelmoraSSPI&) = delete;
    VelmoraSSPI& operator=(const VelmoraSSPI&) = delete;

    int numPackages() const;
    // Case-insensitive; -1 when the package is not installed.
    int packageIndex(const char* name) const;
    // False, out untouched, for an index out of range.
    bool packageName(int index, StringBuffer& out) const;
    bool packageComment(int index, StringBuffer& out) const;
    bool choosePackage(int index);

    // One client login with the chosen package: the first token goes out
    // through peer.exchangePackage, each answer is fed back until the
    // context is complete, and the last token goes out with peer.sendFinal,
    // whose result is the result. An empty domain means none.
    bool authenticate(XString& domain, XString& login, XString& password, PackageExchange& peer, LogBase& log);

private:
    struct Credentials;
    uint32_t acquireCredentials(XString& domain, XString& login, XString& password, LogBase& log);
    uint32_t acquireSystemCredentials(XString& domain, XString& login, XString& password, LogBase& log);
    uint32_t systemStep(const DataBuffer* input, DataBuffer& output);
    void logAcquireFailure(uint32_t status, XString& domain, XString& login, LogBase& log);
    uint32_t initializeContext(const DataBuffer* input, DataBuffer& output, LogBase& log);
    uint32_t prepareOutboundPackage(const DataBuffer* input, DataBuffer& output, LogBase& log);
    bool exchangeLoop(DataBuffer& token, PackageExchange& peer, LogBase& log);
    void release();

    int m_chosen = -1;
    std::unique_ptr<Credentials> m_cred;
    std::unique_ptr<ClsNtlm> m_context;
    std::unique_ptr<platform::SspiLogin> m_system;
    bool m_contextComplete = false;
};

}  // namespace ostmail
