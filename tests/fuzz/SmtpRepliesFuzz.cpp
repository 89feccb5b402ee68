// Whatever a server or proxy answers, the client ends the session with a
// result: proxy replies, SMTP replies, EHLO lists, AUTH challenges and the
// bytes after STARTTLS come from the input, sent by a peer that reads whatever
// the client writes.
#include "FuzzPeer.h"
#include "core/ExtPtrArray.h"
#include "core/Logger.h"
#include "net/ClsSocksClient.h"
#include "net/HttpProxyClient.h"
#include "smtp/SmtpConnImpl.h"
#include "smtp/SmtpMessage.h"

using namespace ostmail;

namespace {

const char* const kMethods[] = {"", "LOGIN", "PLAIN", "CRAM-MD5", "NTLM", "MSN", "NONE", "XOAUTH"};

// Points a SOCKS or HTTP proxy client at the peer, with or without a login.
template <class Proxy>
Proxy& aim(Proxy& proxy, int port, bool login) {
    proxy.hostname().setFromUtf8("127.0.0.1");
    proxy.setPort(port);
    if (login) {
        proxy.username().setFromUtf8("proxyuser");
        proxy.password().setFromUtf8("proxypass");
    }
    return proxy;
}

}  // namespace

void fuzzTarget(fuzz::FuzzInput& in) {
    // proxy: 0 none, 1 SOCKS4, 2 SOCKS5, 3 SOCKS5 with a login, 4 HTTP, 5 HTTP with a login.
    uint8_t settings = in.byte(), proxy = in.byte() % 6;
    // Through a proxy the script starts with the proxy's replies.
    std::string script = in.rest();
    fuzz::PairPeer peer([&script](int fd) { fuzz::sendThenRead(fd, script); });
    ClsSocksClient socks;
    socks.setSocksVersion(proxy == 1 ? 4 : 5);
    aim(socks, 1080, proxy == 3);
    HttpProxyClient http;
    // SOCKS4 is given an address, as it cannot carry a name.
    const char* host = proxy <= 1 ? "127.0.0.1" : "mail.example.test";
    bool anonymous = settings & 16;
    Logger log;
    SmtpConnImpl conn;
    conn.setHeloHostname("client.test");
    conn.setStartTls(settings & 8);
    conn.setRequireAllRecipients(settings & 64);
    if (settings & 32) {
        conn.setDsnNotify("SUCCESS,FAILURE");
        conn.setDsnRet("HDRS");
        conn.setDsnEnvid("id-1");
    }
    if (proxy >= 4) conn.connection().setHttpProxy(aim(http, 3128, proxy == 5));
    bool timedOut = false, aborted = false;
    XString login = fuzz::utf8Text(anonymous ? "" : "user"), password = fuzz::utf8Text(anonymous ? "" : "secret");
    if (conn.smtpConnect(host, 25, login, password, fuzz::utf8Text("DOMAIN"),
                         fuzz::utf8Text(kMethods[settings & 7]), 5, 2000, proxy && proxy < 4 ? &socks : nullptr, log,
                         nullptr, timedOut, aborted)) {
        SmtpTextMessage msg;
        msg.setSubject("hi");
        msg.addAddress(SmtpMessage::kTo, "one@example.test");
        msg.addAddress(SmtpMessage::kTo, "two@example.test");
        msg.addAddress(SmtpMessage::kCc, "three@example.test");
        msg.text().setString("Subject: hi\r\n\r\n.line one\r\n");
        SmtpSendResult result;
        ExtPtrArray bad;
        conn.sendEmail(&msg, "sender@example.test", nullptr, nullptr, log, nullptr, result, bad, settings & 128, false);
        bad.removeAllObjects();
        conn.quit(log, nullptr);
    }
    conn.closeConnection(log, nullptr);
}
