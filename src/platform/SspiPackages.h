#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace ostmail {
namespace platform {

// The system's own authentication packages (NTLM and the like), where it
// has them. Statuses carry the SSPI numbers.

// Given credentials in UTF-8; an empty domain means none.
struct SspiIdentity {
    std::string user;
    std::string domain;
    std::string password;
};

// One client login: its credentials and its context.
class SspiLogin {
public:
    virtual ~SspiLogin() = default;
    // Without input the first token; then the answer to the server's
    // token. 0 (done), 0x00090312 (continue) or a failure; output empty
    // after a failure.
    virtual uint32_t step(const std::vector<unsigned char>* input, std::vector<unsigned char>& output) = 0;
};

class SspiPackages {
public:
    virtual ~SspiPackages() = default;
    // Acquires credentials with package for identity, or the logged-on
    // account's when identity is null. out stays empty on failure.
    virtual uint32_t startLogin(const char* package, const SspiIdentity* identity,
                                std::unique_ptr<SspiLogin>& out) = 0;
};

// Null where the system has no such packages; the callers then use their own.
SspiPackages* sspiPackages();

}  // namespace platform
}  // namespace ostmail
