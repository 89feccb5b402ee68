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
    // email must be fresh and in UTF-8 mode.
    static bool buildEmail(const Message& message, VmEmail& email, std::string& reason);
    // Bare envelope addresses, in the order they are sent (To, Cc, Bcc).
    static std::vector<std::string> envelope(const Message& message);
};

}  // namespace ostmail
