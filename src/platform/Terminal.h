#pragma once

namespace ostmail {
namespace platform {

// True when standard error is an interactive terminal (worth drawing on).
bool stderrIsTerminal();

}  // namespace platform
}  // namespace ostmail
