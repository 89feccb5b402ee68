#pragma once
#include "ostmail/SendResult.h"

#include <string>
#include <vector>

namespace ostmail {

struct __attribute__((visibility("hidden"))) SendResult::Impl {
    bool ok = false;
    std::string reason;
    std::vector<std::string> accepted, refused;
    int smtpStatus = 0;
    std::string log;
};

}  // namespace ostmail
