#pragma once
#include "ostmail/SendResult.h"

#include <cstdint>
#include <string>

namespace ostmail {

class ClsMailMan;

// Turns what the manager saw during one send into the caller's result:
// the outcome, each recipient's answer, and a reason in words.
class ResultReport {
public:
    struct Send {
        bool managerOk = false;   // what the manager returned
        bool aborted = false;     // the host's callback said stop
        uint64_t linesBefore = 0; // reply lines read before the send
        std::string server;       // "host:port"
        int finalWaitSecs = 0;    // the wait for the reply to the final dot
        bool implicitTls = false;
    };
    static void fill(SendResult& result, ClsMailMan& man, const Send& send);
    // A result for a send that never started.
    static SendResult badInput(const std::string& reason);
    // "550 5.1.1 no such user" split into its code, enhanced status and text.
    static RecipientResult parseReply(const std::string& address, int code, const std::string& reply);
};

}  // namespace ostmail
