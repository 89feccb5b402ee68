#pragma once
#include <string>
#include <vector>

namespace ostmail {
namespace cli {

// A complete message handed over by a mail program, made ready to send as
// it came: no message is refused for its shape.
class MessageText {
public:
    // Splits text into header and body with CRLF line ends; without
    // ignoreDots a line of one "." ends it. A leading mbox "From " line is
    // dropped; input that starts with a blank line or a line that is not a
    // header field has no header. False only for empty input.
    bool parse(const std::string& text, bool ignoreDots, std::string& error);

    // The values of the fields that name the recipients of -t: the Resent-
    // ones when there are any (RFC 5322 section 3.6.6), else To, Cc, Bcc.
    std::vector<std::string> recipientFields() const;

    // Bcc and Resent-Bcc go, always.
    void removeBlindCopies();

    // Adds Date, Message-ID (under host) and From (header text) when the
    // message has none.
    void addMissing(const std::string& from, const std::string& host);

    // Header lines over 998 bytes folded; a body with longer lines or NUL
    // bytes and no transfer encoding of its own made quoted-printable (text)
    // or base64 (anything else), with the header fields that say so.
    // Returns a warning when a line cannot be made short, "" otherwise.
    std::string makeSendable();

    // The value of the first field of that name, unfolded; "" when none.
    std::string fieldValue(const char* name) const;

    // The text to hand to SMTP: its last line end is the one the end of
    // data adds, so the body arrives byte for byte.
    std::string render() const;

private:
    struct Field {
        std::string name;
        std::string text;  // the whole field, CRLF after every line
    };
    const Field* find(const char* name) const;
    void removeField(const char* name);
    bool bodyNeedsEncoding() const;
    std::vector<Field> m_fields;
    std::string m_body;  // CRLF line ends
};

}  // namespace cli
}  // namespace ostmail
