#include "platform/TlsProvider.h"

namespace ostmail {
namespace platform {

// The appending form of EncryptMessage, shared by every Windows provider.
uint32_t TlsProvider::EncryptMessage(TlsContext& ctx, const unsigned char* data, uint32_t n, Bytes& record) {
    struct Append : TlsOutputSink {
        explicit Append(Bytes& b) : to(b) {}
        bool put(const unsigned char* d, uint32_t len) override {
            try {
                to.insert(to.end(), d, d + len);
            } catch (...) {  // must not unwind through the provider
                return false;
            }
            return true;
        }
        Bytes& to;
    } sink(record);
    return EncryptMessage(ctx, data, n, sink);
}

}  // namespace platform
}  // namespace ostmail
