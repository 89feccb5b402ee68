#pragma once
#include "core/ErrorLog.h"
#include "ostmail/SendResult.h"

#include <memory>
#include <mutex>

#include <string>
#include <vector>

namespace ostmail {

struct __attribute__((visibility("hidden"))) SendResult::Impl {
    bool ok = false;
    SendError error = SendError::BadInput;
    bool unconfirmed = false;
    std::string reason;
    std::vector<std::string> accepted, refused;
    std::vector<RecipientResult> recipients;
    int smtpStatus = 0;
    std::string smtpReply;
    std::string log;
    // The send's log tree, rendered into text on the first log() call:
    // rendering costs more than a small send, and most hosts never look.
    struct LazyLog {
        std::once_flag once;
        ErrorLog tree;
        std::string text;
        std::string before;  // the log of a first attempt that was retried, shown first
    };
    std::shared_ptr<LazyLog> lazyLog;
};

}  // namespace ostmail
