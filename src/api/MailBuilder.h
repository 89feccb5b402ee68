#pragma once
#include "ostmail/Message.h"
#include "ostmail/SmtpSettings.h"

#include <string>
#include <vector>

namespace ostmail {

class VmEmail;
class VmMailMan;

// Turns the API's value objects into the facade's objects. Each step checks
// the host's input first, so a bad value becomes a reason instead of a
// half-built message; reason gets one line saying what was wrong.
class MailBuilder {
public:
    static bool checkSettings(const SmtpSettings& settings, std::string& reason);
    static void applySettings(const SmtpSettings& settings, VmMailMan& man);
    struct Envelope {
        std::string from;
        std::vector<std::string> recipients;  // To, Cc, Bcc, in the order they are sent
    };
    // Every address is parsed and every header checked first, so nothing
    // that would fail the send is half-built. email must be fresh and in
    // UTF-8 mode.
    static bool buildEmail(const Message& message, VmEmail& email, Envelope& envelope, std::string& reason);
    // The exact text that goes out (headers folded, ending with CRLF).
    static bool render(VmMailMan& man, VmEmail& email, std::string& mime, std::string& reason);
};

}  // namespace ostmail
