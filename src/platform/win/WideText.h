#pragma once
// UTF-8 <-> UTF-16 for the Windows calls that take wide strings; the layers
// above hand paths and names over as UTF-8.
#include <windows.h>

#include <string>

namespace ostmail {
namespace platform {
namespace win {

inline std::wstring widen(const char* utf8) {
    if (!utf8 || !*utf8) return std::wstring();
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
    if (n <= 0) return std::wstring();
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8, -1, &out[0], n);
    out.resize(static_cast<size_t>(n - 1));
    return out;
}

// The handle kept in an int field, as the 32 significant bits Windows
// guarantees for kernel handles.
inline int handleToInt(HANDLE h) { return h == INVALID_HANDLE_VALUE ? -1 : static_cast<int>(HandleToLong(h)); }
inline HANDLE intToHandle(int fd) { return fd < 0 ? INVALID_HANDLE_VALUE : LongToHandle(fd); }

}  // namespace win
}  // namespace platform
}  // namespace ostmail
