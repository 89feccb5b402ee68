#include "platform/SspiPackages.h"

namespace ostmail {
namespace platform {

// No system authentication packages here.
SspiPackages* sspiPackages() { return nullptr; }

}  // namespace platform
}  // namespace ostmail
