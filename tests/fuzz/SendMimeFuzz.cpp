// Whatever MIME text a host hands to SendMime goes out as one DATA section:
// a server that accepts everything reads it, and a line of one dot inside
// the text must never end the data early (what follows the terminator is
// the next command, nothing of the message).
#include "FuzzPeer.h"
#include "smtp/ClsMailMan.h"

using namespace ostmail;

namespace {

// With or without the extensions that change how a body may go out.
const char* const kEhlo[] = {"250 mx.test\r\n", "250-mx.test\r\n250-8BITMIME\r\n250-SMTPUTF8\r\n250 SIZE 100000\r\n"};

void acceptAll(int fd, const char* ehlo) {
    const std::string got = fuzz::sendThenRead(fd, std::string("220 mx.test ESMTP\r\n") + ehlo +
                                                       "250 ok\r\n250 ok\r\n250 ok\r\n354 go\r\n250 queued\r\n221 bye\r\n");
    size_t data = got.find("\r\nDATA\r\n");
    if (data == std::string::npos) return;
    size_t end = got.find("\r\n.\r\n", data + 6);
    if (end == std::string::npos) return;
    std::string after = got.substr(end + 5);
    if (after != "" && after != "QUIT\r\n" && after != "RSET\r\n" && after != "RSET\r\nQUIT\r\n") {
        fprintf(stderr, "the message's text went on past its end: %s\n", after.substr(0, 200).c_str());
        abort();
    }
}

}  // namespace

void fuzzTarget(fuzz::FuzzInput& in) {
    const char* ehlo = kEhlo[in.byte() & 1];
    XString mime = fuzz::utf8Text(in.rest());
    fuzz::PairPeer peer([ehlo](int fd) { acceptAll(fd, ehlo); });
    ClsMailMan mm;
    XString host = fuzz::utf8Text("127.0.0.1"), from = fuzz::utf8Text("sender@example.test"),
            to = fuzz::utf8Text("one@example.test, two@example.test");
    mm.put_SmtpHost(host);
    mm.put_SmtpPort(25);
    mm.put_ReadTimeout(5);
    mm.SendMime(from, to, mime, nullptr);
    mm.CloseSmtpConnection();
}
