#include "platform/Terminal.h"

#include <windows.h>

namespace ostmail {
namespace platform {

bool stderrIsTerminal() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

}  // namespace platform
}  // namespace ostmail
