#include "smtp/VelmoraSSPI.h"

#include "core/LogBase.h"
#include "platform/SspiPackages.h"
#include "platform/SysInfo.h"
#include "smtp/ClsNtlm.h"
#include "smtp/PackageExchange.h"

#include <strings.h>

namespace ostmail {

namespace {

struct PackageInfo {
    const char* name;
    const char* comment;
};

const PackageInfo kPackages[] = {
    {"NTLM", "NTLM Security Package"},
};
constexpr int kNumPackages = static_cast<int>(sizeof kPackages / sizeof kPackages[0]);

const char* acquireStatusName(uint32_t status) {
    switch (status) {
        case secstatus::kUnknownCredentials: return "SEC_E_UNKNOWN_CREDENTIALS";
        case secstatus::kNoCredentials: return "SEC_E_NO_CREDENTIALS";
        case secstatus::kNotOwner: return "SEC_E_NOT_OWNER";
        case secstatus::kInsufficientMemory: return "SEC_E_INSUFFICIENT_MEMORY";
        case secstatus::kInternalError: return "SEC_E_INTERNAL_ERROR";
        case secstatus::kSecPkgNotFound: return "SEC_E_SECPKG_NOT_FOUND";
        default: return nullptr;
    }
}

const char* prepareStatusText(uint32_t status) {
    switch (status) {
        case secstatus::kInvalidHandle: return "VelmoraSSPI.prepareOutboundPackage: SEC_E_INVALID_HANDLE";
        case secstatus::kTargetUnknown: return "VelmoraSSPI.prepareOutboundPackage: SEC_E_TARGET_UNKNOWN";
        case secstatus::kInternalError: return "VelmoraSSPI.prepareOutboundPackage: SEC_E_INTERNAL_ERROR";
        case secstatus::kNoCredentials: return "VelmoraSSPI.prepareOutboundPackage: SEC_E_NO_CREDENTIALS";
        case secstatus::kNoAuthenticatingAuthority:
            return "VelmoraSSPI.prepareOutboundPackage: SEC_E_NO_AUTHENTICATING_AUTHORITY";
        case secstatus::kLogonDenied: return "LOGON_DENIED";
        default: return nullptr;
    }
}

bool isDefault(XString& text) {
    StringBuffer sb(text.getUtf8());
    sb.trimWhitespace();
    return sb.equalsIgnoreCase("default");
}

}  // namespace

// An identity in 8-bit form, as the package was given it.
struct VelmoraSSPI::Credentials {
    XString user;
    XString domain;
    XString password;
};

VelmoraSSPI::VelmoraSSPI() = default;

VelmoraSSPI::~VelmoraSSPI() {
    release();
}

void VelmoraSSPI::release() {
    m_system.reset();
    m_context.reset();
    m_cred.reset();
    m_contextComplete = false;
}

int VelmoraSSPI::numPackages() const {
    return kNumPackages;
}

int VelmoraSSPI::packageIndex(const char* name) const {
    if (!name) return -1;
    for (int i = 0; i < kNumPackages; ++i) {
        if (strcasecmp(kPackages[i].name, name) == 0) return i;
    }
    return -1;
}

bool VelmoraSSPI::packageName(int index, StringBuffer& out) const {
    if (index < 0 || index >= kNumPackages) return false;
    return out.setString(kPackages[index].name);
}

bool VelmoraSSPI::packageComment(int index, StringBuffer& out) const {
    if (index < 0 || index >= kNumPackages) return false;
    return out.setString(kPackages[index].comment);
}

bool VelmoraSSPI::choosePackage(int index) {
    if (index < 0 || index >= kNumPackages) return false;
    m_chosen = index;
    return true;
}

uint32_t VelmoraSSPI::acquireCredentials(XString& domain, XString& login, XString& password, LogBase& log) {
    if (m_chosen < 0) return secstatus::kSecPkgNotFound;
    if (platform::sspiPackages()) return acquireSystemCredentials(domain, login, password, log);
    if (isDefault(login) && isDefault(password)) {
        log.LogInfo("Using default NTLM credentials.");
        // No logged-on account stands behind this process.
        return secstatus::kNoCredentials;
    }
    m_cred.reset(new Credentials);
    m_cred->user.copyFrom(login);
    m_cred->domain.copyFrom(domain);
    m_cred->password.copyFrom(password);
    return secstatus::kOk;
}

uint32_t VelmoraSSPI::acquireSystemCredentials(XString& domain, XString& login, XString& password, LogBase& log) {
    platform::SspiIdentity identity;
    bool useDefault = isDefault(login) && isDefault(password);
    if (useDefault) {
        log.LogInfo("Using default NTLM credentials.");
    } else {
        identity.user = login.getUtf8();
        identity.domain = domain.getUtf8();
        identity.password = password.getUtf8();
    }
    return platform::sspiPackages()->startLogin(kPackages[m_chosen].name, useDefault ? nullptr : &identity, m_system);
}

uint32_t VelmoraSSPI::systemStep(const DataBuffer* input, DataBuffer& output) {
    std::vector<unsigned char> in, out;
    if (input) in.assign(input->getData(), input->getData() + input->getSize());
    uint32_t status = m_system->step(input ? &in : nullptr, out);
    output.append(out.data(), static_cast<uint32_t>(out.size()));
    if (status == secstatus::kOk || status == secstatus::kCompleteNeeded) m_contextComplete = true;
    return status;
}

void VelmoraSSPI::logAcquireFailure(uint32_t status, XString& domain, XString& login, LogBase& log) {
    log.LogError("Failed to acquire credentials handle");
    log.LogData("username", login.getUtf8());
    log.LogData("domain", domain.isEmpty() ? "NONE" : domain.getUtf8());
    const char* name = acquireStatusName(status);
    if (name) {
        log.LogData("status_code", name);
    } else {
        log.LogDataHex("status_code", status);
    }
}

// The NTLM context: negotiate first, then the answer to the challenge.
uint32_t VelmoraSSPI::initializeContext(const DataBuffer* input, DataBuffer& output, LogBase& log) {
    output.clear();
    if (m_system && !m_contextComplete) return systemStep(input, output);
    if (!m_cred || m_contextComplete) return secstatus::kInvalidHandle;
    if (!input) {
        // NTLMv1, ClsNtlm's default, is what NTLM servers take most widely.
        m_context.reset(new ClsNtlm);
        m_context->put_LenientType2(true);
        m_context->put_UserName(m_cred->user);
        m_context->put_Password(m_cred->password);
        m_context->put_Domain(m_cred->domain);
        XString workstation;
        workstation.setFromAnsi(platform::computerName().c_str());
        if (!workstation.isEmpty()) m_context->put_Workstation(workstation);
        m_context->genType1Bytes(output, log);
        return secstatus::kContinueNeeded;
    }
    if (!m_context) return secstatus::kInvalidHandle;
    if (!m_context->genType3Bytes(*input, output, log)) return secstatus::kInvalidToken;
    m_contextComplete = true;
    return secstatus::kOk;
}

uint32_t VelmoraSSPI::prepareOutboundPackage(const DataBuffer* input, DataBuffer& output, LogBase& log) {
    uint32_t status = initializeContext(input, output, log);
    const char* text = prepareStatusText(status);
    if (text) log.LogError(text);
    if (status == secstatus::kCompleteNeeded || status == secstatus::kCompleteAndContinue) {
        log.LogInfo(status == secstatus::kCompleteNeeded
                        ? "VelmoraSSPI.prepareOutboundPackage: SEC_I_COMPLETE_NEEDED"
                        : "VelmoraSSPI.prepareOutboundPackage: SEC_I_COMPLETE_AND_CONTINUE");
        // The NTLM context has nothing left to complete once a token is out.
        status = (status == secstatus::kCompleteNeeded) ? secstatus::kOk : secstatus::kContinueNeeded;
    }
    return status;
}

bool VelmoraSSPI::exchangeLoop(DataBuffer& token, PackageExchange& peer, LogBase& log) {
    for (;;) {
        DataBuffer received;
        if (!peer.exchangePackage(token, received, log)) {
            log.LogError("VelmoraSSPI.authenticate: exchange failed");
            return false;
        }
        uint32_t status = prepareOutboundPackage(&received, token, log);
        if (status == secstatus::kContinueNeeded) continue;
        if (status == secstatus::kOk) return peer.sendFinal(token, log);
        log.LogError("VelmoraSSPI.authenticate: failed to prepare next package");
        log.LogDataHex("statusCode", status);
        log.LogError("Finished and NOT authenticated");
        return false;
    }
}

bool VelmoraSSPI::authenticate(XString& domain, XString& login, XString& password, PackageExchange& peer,
                               LogBase& log) {
    LogContextExitor ctx(log, "VelmoraSSPI.authenticate");
    release();
    if (login.isEmpty() || password.isEmpty()) {
        log.LogError("No username and/or password for SSPI authenticate.");
        return false;
    }
    uint32_t status = acquireCredentials(domain, login, password, log);
    if (status != secstatus::kOk) {
        logAcquireFailure(status, domain, login, log);
        return false;
    }
    DataBuffer token;
    status = prepareOutboundPackage(nullptr, token, log);
    if (status != secstatus::kContinueNeeded && status != secstatus::kOk) {
        log.LogError("VelmoraSSPI.authenticate: failed to prepare 1st outbound package");
        release();
        return false;
    }
    bool ok = (status == secstatus::kOk) ? peer.sendFinal(token, log) : exchangeLoop(token, peer, log);
    release();
    return ok;
}

}  // namespace ostmail
