#pragma once
#include <string>
#include <vector>

namespace ostmail {
namespace cli {

// A complete message handed over by a mail program, made ready to send as is.
class MessageText {
public:
    // Splits text into header and body with CRLF line ends; without
    // ignoreDots a line of one "." ends it. False, with the reason, for NUL
    // bytes, lines over 998 bytes, empty input or a header line with no colon.
    bool parse(const std::string& text, bool ignoreDots, std::string& error);

    // Addresses of To, Cc and Bcc, and removes the Bcc lines.
    std::vector<std::string> takeHeaderRecipients();

    // Adds Date, Message-ID and From when the message has none.
    void addMissing(const std::string& fromName, const std::string& fromAddress, const std::string& host);

    // The address in From, "" when there is none.
    std::string fromAddress() const;

    std::string render() const;

private:
    struct Field {
        std::string name;
        std::string text;  // the whole field, CRLF after every line
    };
    const Field* find(const char* name) const;
    std::vector<Field> m_fields;
    std::string m_body;
};

// The bare addresses of a header value such as "A <a@x>, b@y".
std::vector<std::string> addressesIn(const std::string& value);

}  // namespace cli
}  // namespace ostmail
