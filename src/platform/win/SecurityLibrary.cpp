#include "platform/win/SecurityLibrary.h"

namespace ostmail {
namespace platform {
namespace win {

namespace {

// System libraries only: never the program's folder or the current one.
HMODULE loadSystemLibrary(const wchar_t* name) {
    return LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
}

template <typename Fn>
bool resolve(HMODULE lib, const char* name, Fn& fn) {
    fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(lib, name)));
    return fn != nullptr;
}

bool loadCrypto(CryptoApi& api) {
    HMODULE lib = loadSystemLibrary(L"crypt32.dll");
    if (!lib) lib = LoadLibraryW(L"crypt32.dll");  // before KB2533623 the flag is unknown
    return lib && resolve(lib, "CertOpenStore", api.openStore) && resolve(lib, "CertCloseStore", api.closeStore) &&
           resolve(lib, "CertAddEncodedCertificateToStore", api.addEncoded) &&
           resolve(lib, "CertAddStoreToCollection", api.addToCollection) &&
           resolve(lib, "CertFindCertificateInStore", api.findInStore) &&
           resolve(lib, "CertFreeCertificateContext", api.freeCertificate) &&
           resolve(lib, "CertGetCertificateChain", api.getChain) &&
           resolve(lib, "CertFreeCertificateChain", api.freeChain) &&
           resolve(lib, "CertVerifyCertificateChainPolicy", api.verifyPolicy) &&
           resolve(lib, "CryptDecodeObjectEx", api.decodeObject) &&
           resolve(lib, "CertRDNValueToStrW", api.rdnValueToStr) &&
           resolve(lib, "CryptStringToBinaryA", api.stringToBinary) &&
           resolve(lib, "CryptEncodeObjectEx", api.encodeObject) &&
           resolve(lib, "CryptHashCertificate", api.hashCertificate);
}

}  // namespace

const SecurityFunctionTableW* securityFunctions() {
    static const SecurityFunctionTableW* table = []() -> const SecurityFunctionTableW* {
        HMODULE lib = loadSystemLibrary(L"secur32.dll");
        if (!lib) lib = LoadLibraryW(L"secur32.dll");
        INIT_SECURITY_INTERFACE_W init = nullptr;
        if (!lib || !resolve(lib, "InitSecurityInterfaceW", init)) return nullptr;
        return init();
    }();
    return table;
}

const CryptoApi* cryptoApi() {
    static CryptoApi api;
    static const bool loaded = loadCrypto(api);
    return loaded ? &api : nullptr;
}

std::string narrow(const wchar_t* text, int n) {
    if (!text || n == 0) return std::string();
    int len = WideCharToMultiByte(CP_UTF8, 0, text, n, nullptr, 0, nullptr, nullptr);
    std::string out(len > 0 ? static_cast<size_t>(len) : 0, '\0');
    if (len > 0) WideCharToMultiByte(CP_UTF8, 0, text, n, &out[0], len, nullptr, nullptr);
    if (n < 0 && !out.empty() && out.back() == '\0') out.pop_back();
    return out;
}

}  // namespace win
}  // namespace platform
}  // namespace ostmail
