#pragma once
#include <string>
#include <vector>

namespace ostmail {
namespace cli {

// The command line of sendmail mode, read by sendmail's own rules: option
// letters may be grouped ("-ti"), a value is glued ("-fADDR") or the next
// word ("-f ADDR"), and every option that sendmail, Postfix or Exim takes
// is accepted, used where it means something here and ignored otherwise.
struct SendmailArgs {
    // What was asked for: send a message, or a mode that has no meaning here.
    enum Mode { kSend, kQueue, kNoSuchMode, kAliases };
    Mode mode = kSend;
    std::string modeOption;  // the option that chose the mode ("-bs")

    bool fromHeaders = false;  // -t
    bool ignoreDots = false;   // -i, -oi, -O IgnoreDots
    bool verbose = false;      // -v
    bool noAliases = false;    // -n
    bool haveSender = false;   // -f / -r given (possibly "<>")
    std::string sender, fullName;
    std::string dsnNotify, dsnRet, dsnEnvid;
    std::string config, account;
    std::vector<std::string> recipients;  // the words, each an address list
};

// False with a one-line reason (naming the option) on a usage error.
bool parseSendmailArgs(const std::vector<std::string>& args, SendmailArgs& out, std::string& error);

}  // namespace cli
}  // namespace ostmail
