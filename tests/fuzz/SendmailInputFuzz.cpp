// What a mail program pipes into `ostmail sendmail -t`: headers and body,
// taken apart, its recipients read, the missing fields added, long lines
// made sendable and the message put back together with CRLF after every
// line and no Bcc left.
#include "FuzzInput.h"
#include "email/AddressList.h"
#include "tools/MessageText.h"

#include <strings.h>

using namespace ostmail;

namespace {

[[noreturn]] void fail(const char* why, const std::string& text) {
    fprintf(stderr, "%s:\n%s\n", why, text.substr(0, 2000).c_str());
    abort();
}

}  // namespace

void fuzzTarget(fuzz::FuzzInput& in) {
    uint8_t flags = in.byte();
    cli::MessageText message;
    std::string error;
    if (!message.parse(in.rest(), flags & 1, error)) {
        if (error.empty()) fail("refused without a reason", error);
        return;
    }
    for (const std::string& field : message.recipientFields()) {
        std::vector<MailboxAddress> boxes;
        if (!AddressList::parse(field.substr(field.find(':') + 1), boxes, error)) continue;
        for (const MailboxAddress& b : boxes)
            if (b.address.find_first_of("\r\n") != std::string::npos) fail("a line break in an address", b.address);
    }
    message.removeBlindCopies();
    message.addMissing(AddressList::format(flags & 2 ? "Cron Daemon" : "", "root@host.test"), "host.test");
    message.makeSendable();
    // The end of data adds the last line end.
    const std::string out = message.render() + "\r\n";
    size_t end = out.find("\r\n\r\n");
    if (end == std::string::npos) fail("no blank line after the header", out);
    for (size_t at = 0, nl; at < out.size(); at = nl + 1) {
        nl = out.find('\n', at);
        if (nl == std::string::npos || nl == at || out[nl - 1] != '\r') fail("a line without CRLF", out);
        if (at <= end && strncasecmp(out.c_str() + at, "Bcc:", 4) == 0) fail("a Bcc line went out", out);
    }
}
