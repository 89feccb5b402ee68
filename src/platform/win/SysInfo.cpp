#include "platform/SysInfo.h"

#include <windows.h>
#include <wincrypt.h>

#include <atomic>
#include <mutex>

namespace ostmail {
namespace platform {

namespace {

std::atomic<uint32_t> g_ansiOverride{0};
std::atomic<uint32_t> g_oemOverride{0};

// One provider handle for the process; CryptGenRandom may be called on it
// from any thread.
class RandomProvider {
public:
    RandomProvider() {
        if (!CryptAcquireContextW(&m_prov, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT | CRYPT_SILENT))
            m_prov = 0;
    }
    ~RandomProvider() {
        if (m_prov) CryptReleaseContext(m_prov, 0);
    }
    RandomProvider(const RandomProvider&) = delete;
    RandomProvider& operator=(const RandomProvider&) = delete;
    bool fill(void* buf, uint32_t n) const {
        return m_prov && CryptGenRandom(m_prov, n, static_cast<BYTE*>(buf));
    }

private:
    HCRYPTPROV m_prov = 0;
};

}  // namespace

uint32_t ansiCodePage() {
    uint32_t forced = g_ansiOverride.load(std::memory_order_relaxed);
    return forced ? forced : GetACP();
}

uint32_t oemCodePage() {
    uint32_t forced = g_oemOverride.load(std::memory_order_relaxed);
    return forced ? forced : GetOEMCP();
}

void setAnsiCodePageOverride(uint32_t codePage) { g_ansiOverride.store(codePage, std::memory_order_relaxed); }

void setOemCodePageOverride(uint32_t codePage) { g_oemOverride.store(codePage, std::memory_order_relaxed); }

std::string userName() {
    char name[257] = {0};
    DWORD n = sizeof name;
    return GetUserNameA(name, &n) ? std::string(name) : std::string();
}

std::string computerName() {
    char name[MAX_COMPUTERNAME_LENGTH + 1] = {0};
    DWORD n = sizeof name;
    return GetComputerNameA(name, &n) ? std::string(name, n) : std::string();
}

std::string errorText(int err) {
    if (err == 0) return "";
    char* text = nullptr;
    DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, static_cast<DWORD>(err), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                             reinterpret_cast<char*>(&text), 0, nullptr);
    std::string out = n && text ? std::string(text, n) : std::string();
    if (text) LocalFree(text);
    // The system texts end in ".\r\n"; the log adds its own line ends.
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' ')) out.pop_back();
    return out;
}

bool systemRandom(void* buf, uint32_t n) {
    static const RandomProvider provider;
    return n == 0 || provider.fill(buf, n);
}

}  // namespace platform
}  // namespace ostmail
