// The TLS provider over Schannel: the security-support interface loaded
// from secur32.dll, one InitializeSecurityContext call per step, records
// sealed and opened in place.
#include "platform/TlsProvider.h"
#include "platform/win/CertificateWin32.h"
#include "platform/win/SecurityLibrary.h"

#include <cstring>

namespace ostmail {
namespace platform {
namespace {

using win::securityFunctions;

constexpr uint32_t kRecordHeader = 5;
constexpr uint32_t kMaxRecordBody = 16384 + 2048;
constexpr ULONG kContextFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                                ISC_REQ_EXTENDED_ERROR | ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM |
                                ISC_REQ_MANUAL_CRED_VALIDATION;

uint32_t u32(SECURITY_STATUS s) { return static_cast<uint32_t>(s); }

class SchannelCredentials : public TlsCredentials {
public:
    ~SchannelCredentials() override {
        if (valid) securityFunctions()->FreeCredentialsHandle(&handle);
    }
    CredHandle handle{};
    bool valid = false;
};

class SchannelContext : public TlsContext {
public:
    ~SchannelContext() override {
        if (valid) securityFunctions()->DeleteSecurityContext(&handle);
    }
    CtxtHandle handle{};
    bool valid = false;
    bool shutdownRequested = false;
    std::wstring target;
    SecPkgContext_StreamSizes sizes{};
    bool haveSizes = false;
    Bytes scratch;  // one record, sealed or opened in place
};

// A record header we would wait on; anything else goes to Schannel at once
// so that garbage fails instead of waiting for a length it invented.
bool plausibleHeader(const unsigned char* p) {
    uint32_t len = (static_cast<uint32_t>(p[3]) << 8) | p[4];
    return p[0] >= 20 && p[0] <= 24 && p[1] == 3 && len <= kMaxRecordBody;
}

// Bytes that cannot begin a record fail at once: Wine's Schannel would
// wait for the length it read from them.
bool notARecord(const unsigned char* p, uint32_t n) {
    return (n >= 1 && (p[0] < 20 || p[0] > 24)) || (n >= 2 && p[1] != 3) || (n >= kRecordHeader && !plausibleHeader(p));
}

// Copies the output token and gives it back to the package.
void takeToken(SecBuffer& token, Bytes& out) {
    if (!token.pvBuffer) return;
    const auto* p = static_cast<const unsigned char*>(token.pvBuffer);
    out.assign(p, p + token.cbBuffer);
    securityFunctions()->FreeContextBuffer(token.pvBuffer);
    token.pvBuffer = nullptr;
}

// One InitializeSecurityContext call. No input on the first call and on
// the one that makes the close alert.
void contextStep(SchannelCredentials& cred, SchannelContext& c, const unsigned char* in, uint32_t n,
                 TlsStepResult& r) {
    SecBuffer inBufs[2] = {{n, SECBUFFER_TOKEN, const_cast<unsigned char*>(in)}, {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc inDesc = {SECBUFFER_VERSION, 2, inBufs};
    SecBuffer outBuf = {0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc outDesc = {SECBUFFER_VERSION, 1, &outBuf};
    ULONG attrs = 0;
    bool first = !c.valid;
    SECURITY_STATUS s = securityFunctions()->InitializeSecurityContextW(
        &cred.handle, first ? nullptr : &c.handle, c.target.empty() ? nullptr : &c.target[0], kContextFlags, 0, 0,
        in ? &inDesc : nullptr, 0, first ? &c.handle : nullptr, &outDesc, &attrs, nullptr);
    if (first && !FAILED(s)) c.valid = true;
    r.status = u32(s);
    takeToken(outBuf, r.output);
    if (in && inBufs[1].BufferType == SECBUFFER_EXTRA) r.extra = inBufs[1].cbBuffer;
    r.extendedError = FAILED(s) && !r.output.empty();
}

ULONG clientProtocols(uint32_t mask) {
    return mask & (SP_PROT_PCT1_CLIENT | SP_PROT_SSL2_CLIENT | SP_PROT_SSL3_CLIENT | SP_PROT_TLS1_0_CLIENT |
                   SP_PROT_TLS1_1_CLIENT | SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT);
}

// The single client bit of what was negotiated.
uint32_t protocolBit(DWORD protocol) {
    static const DWORD bits[] = {SP_PROT_TLS1_3_CLIENT, SP_PROT_TLS1_2_CLIENT, SP_PROT_TLS1_1_CLIENT,
                                 SP_PROT_TLS1_0_CLIENT, SP_PROT_SSL3_CLIENT,   SP_PROT_SSL2_CLIENT,
                                 SP_PROT_PCT1_CLIENT};
    for (DWORD bit : bits)
        if (protocol & (bit | (bit >> 1))) return bit;
    return 0;
}

const char* protocolName(uint32_t bit) {
    switch (bit) {
    case SP_PROT_TLS1_3_CLIENT: return "TLSv1.3";
    case SP_PROT_TLS1_2_CLIENT: return "TLSv1.2";
    case SP_PROT_TLS1_1_CLIENT: return "TLSv1.1";
    case SP_PROT_TLS1_0_CLIENT: return "TLSv1";
    case SP_PROT_SSL3_CLIENT: return "SSLv3";
    default: return "";
    }
}

// Names for the algorithms the channel's own table does not name.
const char* algorithmName(ALG_ID alg) {
    switch (alg) {
    case CALG_AES_128: return "AES 128";
    case CALG_AES_192: return "AES 192";
    case CALG_AES_256: return "AES 256";
    case CALG_SHA_256: return "SHA256";
    case CALG_SHA_384: return "SHA384";
    case CALG_SHA_512: return "SHA512";
    case CALG_SHA1: return "SHA1";
    case CALG_MD5: return "MD5";
    case CALG_RSA_KEYX: return "RSA";
    case CALG_DH_EPHEM: return "DHE";
    case CALG_ECDH:
    case CALG_ECDH_EPHEM: return "ECDHE";
    default: return "";
    }
}

class SchannelProvider : public TlsProvider {
public:
    uint32_t AcquireCredentials(const TlsCredentialSettings& settings,
                                std::unique_ptr<TlsCredentials>& out) override {
        std::vector<ALG_ID> algs(settings.algorithms.begin(), settings.algorithms.end());
        SCHANNEL_CRED sc;
        std::memset(&sc, 0, sizeof sc);
        sc.dwVersion = SCHANNEL_CRED_VERSION;
        sc.grbitEnabledProtocols = clientProtocols(settings.protocolMask);
        if (settings.protocolMask == 0 && settings.tls12AtLeast)
            sc.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT;
        sc.cSupportedAlgs = static_cast<DWORD>(algs.size());
        sc.palgSupportedAlgs = algs.empty() ? nullptr : algs.data();
        // The caller checks the server's certificate after the handshake.
        sc.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_CRED_NO_SERVERNAME_CHECK;
        auto cred = std::make_unique<SchannelCredentials>();
        TimeStamp expiry;
        SECURITY_STATUS s = securityFunctions()->AcquireCredentialsHandleW(
            nullptr, const_cast<SEC_WCHAR*>(UNISP_NAME_W), SECPKG_CRED_OUTBOUND, nullptr, &sc, nullptr, nullptr,
            &cred->handle, &expiry);
        if (s != SEC_E_OK) return u32(s);
        cred->valid = true;
        out = std::move(cred);
        return 0;
    }

    void InitializeContext(TlsCredentials& cred, std::unique_ptr<TlsContext>& ctx, const char* targetName,
                           const unsigned char* in, uint32_t n, TlsStepResult& r) override {
        r = TlsStepResult();
        auto& sc = static_cast<SchannelCredentials&>(cred);
        if (!ctx) {
            auto c = std::make_unique<SchannelContext>();
            c->target = win::widen(targetName);
            contextStep(sc, *c, nullptr, 0, r);
            if (c->valid) ctx = std::move(c);
            return;
        }
        auto& c = static_cast<SchannelContext&>(*ctx);
        if (c.shutdownRequested) return contextStep(sc, c, nullptr, 0, r);
        if (in && notARecord(in, n)) {
            r.status = u32(SEC_E_ILLEGAL_MESSAGE);
            return;
        }
        contextStep(sc, c, in, n, r);
    }

    uint32_t QueryStreamSizes(TlsContext& ctx, TlsStreamSizes& sizes) override {
        auto& c = static_cast<SchannelContext&>(ctx);
        uint32_t status = streamSizes(c);
        if (status != 0) return status;
        sizes.header = c.sizes.cbHeader;
        sizes.trailer = c.sizes.cbTrailer;
        sizes.maxMessage = c.sizes.cbMaximumMessage;
        return 0;
    }

    uint32_t QueryRemoteCertificate(TlsContext& ctx, std::shared_ptr<TlsCertificate>& cert) override {
        PCCERT_CONTEXT remote = nullptr;
        SECURITY_STATUS s = securityFunctions()->QueryContextAttributesW(
            &static_cast<SchannelContext&>(ctx).handle, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &remote);
        if (s != SEC_E_OK) return u32(s);
        if (!remote) return u32(SEC_E_NO_CREDENTIALS);
        cert = std::make_shared<win::CertificateWin32>(remote);
        return 0;
    }

    uint32_t QueryConnectionInfo(TlsContext& ctx, TlsConnectionInfo& info) override {
        SecPkgContext_ConnectionInfo ci;
        SECURITY_STATUS s = securityFunctions()->QueryContextAttributesW(
            &static_cast<SchannelContext&>(ctx).handle, SECPKG_ATTR_CONNECTION_INFO, &ci);
        if (s != SEC_E_OK) return u32(s);
        info = TlsConnectionInfo();
        info.protocol = protocolBit(ci.dwProtocol);
        info.protocolName = protocolName(info.protocol);
        info.cipher = ci.aiCipher;
        info.cipherName = algorithmName(ci.aiCipher);
        info.cipherStrength = ci.dwCipherStrength;
        info.hash = ci.aiHash;
        info.hashName = algorithmName(ci.aiHash);
        info.hashStrength = ci.dwHashStrength;
        info.keyExchange = ci.aiExch;
        info.keyExchangeName = algorithmName(ci.aiExch);
        info.keyExchangeStrength = ci.dwExchStrength;
        return 0;
    }

    using TlsProvider::EncryptMessage;

    uint32_t EncryptMessage(TlsContext& ctx, const unsigned char* data, uint32_t n, TlsOutputSink& sink) override {
        auto& c = static_cast<SchannelContext&>(ctx);
        if (n == 0) return 0;
        uint32_t status = streamSizes(c);
        if (status != 0) return status;
        if (n > c.sizes.cbMaximumMessage) return u32(SEC_E_ENCRYPT_FAILURE);
        const uint32_t header = c.sizes.cbHeader, trailer = c.sizes.cbTrailer;
        c.scratch.resize(header + n + trailer);
        unsigned char* p = c.scratch.data();
        std::memcpy(p + header, data, n);
        SecBuffer bufs[4] = {{header, SECBUFFER_STREAM_HEADER, p},
                             {n, SECBUFFER_DATA, p + header},
                             {trailer, SECBUFFER_STREAM_TRAILER, p + header + n},
                             {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc desc = {SECBUFFER_VERSION, 4, bufs};
        SECURITY_STATUS s = securityFunctions()->EncryptMessage(&c.handle, 0, &desc, 0);
        if (s != SEC_E_OK) return u32(s);
        uint32_t total = bufs[0].cbBuffer + bufs[1].cbBuffer + bufs[2].cbBuffer;
        return sink.put(p, total) ? 0 : u32(SEC_E_ENCRYPT_FAILURE);
    }

    void DecryptMessage(TlsContext& ctx, const unsigned char* in, uint32_t n, TlsDecryptResult& r) override {
        r = TlsDecryptResult();
        auto& c = static_cast<SchannelContext&>(ctx);
        if (notARecord(in, n)) {
            r.status = u32(SEC_E_ILLEGAL_MESSAGE);
            return;
        }
        if (n < kRecordHeader) return incomplete(r, kRecordHeader - n);
        uint32_t len = kRecordHeader + ((static_cast<uint32_t>(in[3]) << 8) | in[4]);
        if (n < len) return incomplete(r, len - n);
        c.scratch.assign(in, in + len);  // opened in place: the input is the caller's
        SecBuffer bufs[4] = {{len, SECBUFFER_DATA, c.scratch.data()},
                             {0, SECBUFFER_EMPTY, nullptr},
                             {0, SECBUFFER_EMPTY, nullptr},
                             {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc desc = {SECBUFFER_VERSION, 4, bufs};
        SECURITY_STATUS s = securityFunctions()->DecryptMessage(&c.handle, &desc, 0, nullptr);
        r.status = u32(s);
        uint32_t extraInRecord = 0;
        for (const SecBuffer& b : bufs) {
            const auto* p = static_cast<const unsigned char*>(b.pvBuffer);
            if (b.BufferType == SECBUFFER_DATA && s != SEC_E_INCOMPLETE_MESSAGE && p) r.data.assign(p, p + b.cbBuffer);
            if (b.BufferType == SECBUFFER_EXTRA) extraInRecord = b.cbBuffer;
            if (b.BufferType == SECBUFFER_MISSING) r.missing = b.cbBuffer;
        }
        if (s == SEC_E_INCOMPLETE_MESSAGE) return;
        r.extra = extraInRecord + (n - len);
    }

    uint32_t ApplyShutdownToken(TlsContext& ctx) override {
        auto& c = static_cast<SchannelContext&>(ctx);
        DWORD type = SCHANNEL_SHUTDOWN;
        SecBuffer buf = {sizeof type, SECBUFFER_TOKEN, &type};
        SecBufferDesc desc = {SECBUFFER_VERSION, 1, &buf};
        SECURITY_STATUS s = securityFunctions()->ApplyControlToken(&c.handle, &desc);
        if (s == SEC_E_OK) c.shutdownRequested = true;
        return u32(s);
    }

    bool VerifyServerCertificate(const TlsCertificate& cert, const TlsTrustSettings& trust, const char* host,
                                 uint32_t& policyError) override {
        policyError = 0;
        const auto* wc = dynamic_cast<const win::CertificateWin32*>(&cert);
        return wc && win::verifyServerChain(wc->context(), trust, host ? host : "", policyError);
    }

private:
    static void incomplete(TlsDecryptResult& r, uint32_t missing) {
        r.status = u32(SEC_E_INCOMPLETE_MESSAGE);
        r.missing = missing;
    }

    static uint32_t streamSizes(SchannelContext& c) {
        if (c.haveSizes) return 0;
        SECURITY_STATUS s =
            securityFunctions()->QueryContextAttributesW(&c.handle, SECPKG_ATTR_STREAM_SIZES, &c.sizes);
        c.haveSizes = s == SEC_E_OK;
        return u32(s);
    }
};

}  // namespace

TlsProvider* tlsProvider() {
    static SchannelProvider provider;
    // Certificates need crypt32 as much as the channel needs secur32.
    return securityFunctions() && win::cryptoApi() ? &provider : nullptr;
}

const char* tlsLibraryName() { return "secur32.dll"; }

}  // namespace platform
}  // namespace ostmail
