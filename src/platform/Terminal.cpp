#include "platform/Terminal.h"

#include <unistd.h>

namespace ostmail {
namespace platform {

bool stderrIsTerminal() { return isatty(STDERR_FILENO) == 1; }

}  // namespace platform
}  // namespace ostmail
