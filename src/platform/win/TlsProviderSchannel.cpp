#include "platform/TlsProvider.h"

namespace ostmail {
namespace platform {

// No Schannel provider in this build yet: TLS sends fail with the channel's
// own "no provider" log line.
TlsProvider* tlsProvider() { return nullptr; }

}  // namespace platform
}  // namespace ostmail
