#include "platform/SigningKey.h"

#include "platform/win/WideText.h"

#include <wincrypt.h>

namespace ostmail {
namespace platform {

namespace {

const char kNoSigning[] = "DKIM signing keys are not supported in the Windows build yet";

}  // namespace

// CryptoAPI's AES provider has SHA-256 from Windows XP SP3 on.
struct Sha256::Impl {
    HCRYPTPROV prov = 0;
    HCRYPTHASH hash = 0;
    ~Impl() {
        if (hash) CryptDestroyHash(hash);
        if (prov) CryptReleaseContext(prov, 0);
    }
};

Sha256::Sha256() : m(new Impl) {
    if (!CryptAcquireContextW(&m->prov, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) m->prov = 0;
    if (m->prov && !CryptCreateHash(m->prov, CALG_SHA_256, 0, 0, &m->hash)) m->hash = 0;
}

Sha256::~Sha256() = default;

void Sha256::update(const void* data, size_t n) {
    const BYTE* p = static_cast<const BYTE*>(data);
    while (m->hash && n > 0) {
        DWORD chunk = n > 0x40000000u ? 0x40000000u : static_cast<DWORD>(n);
        if (!CryptHashData(m->hash, p, chunk, 0)) {
            CryptDestroyHash(m->hash);
            m->hash = 0;
        }
        p += chunk;
        n -= chunk;
    }
}

bool Sha256::finish(uint8_t out[32]) {
    DWORD len = 32;
    return m->hash && CryptGetHashParam(m->hash, HP_HASHVAL, out, &len, 0) && len == 32;
}

struct SigningKey::Impl {};

SigningKey::SigningKey() : m(new Impl) {}
SigningKey::~SigningKey() = default;

bool SigningKey::loadPem(const std::string&, std::string& reason) {
    reason = kNoSigning;
    return false;
}

bool SigningKey::generate(Type, int, std::string& reason) {
    reason = kNoSigning;
    return false;
}

bool SigningKey::signDigest(const uint8_t*, std::string&, std::string& reason) const {
    reason = kNoSigning;
    return false;
}

bool SigningKey::publicKey(std::string&) const { return false; }
bool SigningKey::privatePem(std::string&) const { return false; }

// Windows has no group/other mode bits; its ACLs are the owner's business.
bool readPrivateFile(const char* path, std::string& out, std::string& reason) {
    HANDLE h = CreateFileW(win::widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        reason = std::string("cannot open the key file '") + path + "'";
        return false;
    }
    char buf[4096];
    DWORD n = 0;
    out.clear();
    while (ReadFile(h, buf, sizeof buf, &n, nullptr) && n > 0 && out.size() < (1u << 20)) out.append(buf, n);
    CloseHandle(h);
    return true;
}

bool writePrivateFile(const char* path, const std::string& data, std::string& reason) {
    HANDLE h = CreateFileW(win::widen(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    DWORD done = 0;
    bool ok = h != INVALID_HANDLE_VALUE &&
              WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &done, nullptr) && done == data.size();
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    if (!ok) reason = std::string("cannot write '") + path + "'";
    return ok;
}

}  // namespace platform
}  // namespace ostmail
