#include "platform/Process.h"

#include <windows.h>

#include <cstdlib>

// The DLL needs only these; the command-line program, which runs password
// commands, is built for Linux.

namespace ostmail {
namespace platform {

std::string envValue(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

// Windows files carry ACLs, not mode bits; nothing here tells "others".
bool readableByOthers(const char* path) {
    (void)path;
    return false;
}

bool readStdin(std::string& out) {
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    if (in == INVALID_HANDLE_VALUE || in == nullptr) return false;
    char buf[65536];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(in, buf, sizeof buf, &got, nullptr))
            return GetLastError() == ERROR_BROKEN_PIPE;  // the writer closed its end
        if (got == 0) return true;
        out.append(buf, got);
    }
}

}  // namespace platform
}  // namespace ostmail
