// The system's authentication packages through secur32: a login with the
// given or the logged-on account's credentials.
#include "platform/SspiPackages.h"
#include "platform/win/SecurityLibrary.h"

#include <cstring>

namespace ostmail {
namespace platform {
namespace {

using win::securityFunctions;

uint32_t u32(SECURITY_STATUS s) { return static_cast<uint32_t>(s); }

// A wide copy that is wiped when it goes, for the password.
class WipedWide {
public:
    explicit WipedWide(const std::string& utf8) : m_text(win::widen(utf8.c_str())) {}
    ~WipedWide() { SecureZeroMemory(&m_text[0], m_text.size() * sizeof(wchar_t)); }
    WipedWide(const WipedWide&) = delete;
    WipedWide& operator=(const WipedWide&) = delete;
    unsigned short* data() { return reinterpret_cast<unsigned short*>(&m_text[0]); }
    unsigned long size() const { return static_cast<unsigned long>(m_text.size()); }

private:
    std::wstring m_text;
};

class SystemLogin : public SspiLogin {
public:
    ~SystemLogin() override {
        if (m_haveContext) securityFunctions()->DeleteSecurityContext(&m_context);
        if (m_haveCred) securityFunctions()->FreeCredentialsHandle(&m_cred);
    }

    uint32_t acquire(const char* package, const SspiIdentity* identity) {
        std::wstring name = win::widen(package);
        WipedWide user(identity ? identity->user : std::string());
        WipedWide domain(identity ? identity->domain : std::string());
        WipedWide password(identity ? identity->password : std::string());
        SEC_WINNT_AUTH_IDENTITY_W id;
        std::memset(&id, 0, sizeof id);
        id.User = user.data();
        id.UserLength = user.size();
        id.Domain = domain.size() ? domain.data() : nullptr;
        id.DomainLength = domain.size();
        id.Password = password.data();
        id.PasswordLength = password.size();
        id.Flags = SEC_WINNT_AUTH_IDENTITY_UNICODE;
        TimeStamp expiry;
        SECURITY_STATUS s = securityFunctions()->AcquireCredentialsHandleW(
            nullptr, &name[0], SECPKG_CRED_OUTBOUND, nullptr, identity ? &id : nullptr, nullptr, nullptr, &m_cred,
            &expiry);
        m_haveCred = s == SEC_E_OK;
        return u32(s);
    }

    uint32_t step(const std::vector<unsigned char>* input, std::vector<unsigned char>& output) override {
        output.clear();
        SecBuffer in = {0, SECBUFFER_TOKEN, nullptr};
        if (input) in = {static_cast<unsigned long>(input->size()), SECBUFFER_TOKEN, const_cast<unsigned char*>(input->data())};
        SecBufferDesc inDesc = {SECBUFFER_VERSION, 1, &in};
        SecBuffer out = {0, SECBUFFER_TOKEN, nullptr};
        SecBufferDesc outDesc = {SECBUFFER_VERSION, 1, &out};
        ULONG attrs = 0;
        TimeStamp expiry;
        bool first = !m_haveContext;
        SECURITY_STATUS s = securityFunctions()->InitializeSecurityContextW(
            &m_cred, first ? nullptr : &m_context, nullptr, ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_CONNECTION, 0,
            SECURITY_NATIVE_DREP, input ? &inDesc : nullptr, 0, &m_context, &outDesc, &attrs,
            &expiry);
        if (first && !FAILED(s)) m_haveContext = true;
        if (s == SEC_I_COMPLETE_NEEDED || s == SEC_I_COMPLETE_AND_CONTINUE) {
            SECURITY_STATUS done = securityFunctions()->CompleteAuthToken(&m_context, &outDesc);
            if (FAILED(done)) s = done;
        }
        if (out.pvBuffer) {
            if (!FAILED(s)) output.assign(static_cast<unsigned char*>(out.pvBuffer),
                                          static_cast<unsigned char*>(out.pvBuffer) + out.cbBuffer);
            securityFunctions()->FreeContextBuffer(out.pvBuffer);
        }
        return u32(s);
    }

private:
    CredHandle m_cred{};
    CtxtHandle m_context{};
    bool m_haveCred = false;
    bool m_haveContext = false;
};

class SystemPackages : public SspiPackages {
public:
    uint32_t startLogin(const char* package, const SspiIdentity* identity,
                        std::unique_ptr<SspiLogin>& out) override {
        auto login = std::make_unique<SystemLogin>();
        uint32_t status = login->acquire(package ? package : "", identity);
        if (status == 0) out = std::move(login);
        return status;
    }
};

}  // namespace

SspiPackages* sspiPackages() {
    static SystemPackages packages;
    return securityFunctions() ? &packages : nullptr;
}

}  // namespace platform
}  // namespace ostmail
