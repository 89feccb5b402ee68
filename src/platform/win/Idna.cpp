#include "platform/Idna.h"

#include "platform/win/WideText.h"

#include <windows.h>

#include <string>

namespace ostmail {
namespace platform {

namespace {

using IdnToAsciiFn = int(WINAPI*)(DWORD, LPCWSTR, int, LPWSTR, int);

// Loaded at run time, as the security package is: kernel32 has it from
// Windows 8 on, Normaliz.dll before that.
IdnToAsciiFn idnToAscii() {
    static const IdnToAsciiFn fn = [] {
        for (const wchar_t* dll : {L"kernel32.dll", L"normaliz.dll"}) {
            HMODULE m = ::LoadLibraryW(dll);
            FARPROC p = m ? ::GetProcAddress(m, "IdnToAscii") : nullptr;
            if (p) return reinterpret_cast<IdnToAsciiFn>(reinterpret_cast<void*>(p));
        }
        return IdnToAsciiFn(nullptr);
    }();
    return fn;
}

}  // namespace

bool idnaToAscii(const std::string& utf8Domain, std::string& ascii, std::string& reason) {
    IdnToAsciiFn fn = idnToAscii();
    if (!fn) {
        reason = "IdnToAscii is not available";
        return false;
    }
    std::wstring wide = win::widen(utf8Domain.c_str());
    wchar_t out[256];
    int n = wide.empty() ? 0 : fn(0, wide.c_str(), static_cast<int>(wide.size()), out, 256);
    if (n <= 0) {
        reason = "IdnToAscii error " + std::to_string(GetLastError());
        return false;
    }
    ascii.clear();
    for (int i = 0; i < n; ++i) ascii += static_cast<char>(out[i]);  // A-labels are ASCII
    return true;
}

}  // namespace platform
}  // namespace ostmail
