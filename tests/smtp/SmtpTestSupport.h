#pragma once
// Helpers for driving SmtpConnImpl in tests: a log that keeps every line in
// order, the scripted server's usual opening, and a client with the usual
// connect and send arguments.

#include "core/ContentCoding.h"
#include "core/LogBase.h"
#include "smtp/SmtpConnImpl.h"
#include "support/ScriptedSmtpServer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

// Every wanted line is in the log; a failure names the missing ones and shows the log.
#define EXPECT_LOGGED(log, ...) EXPECT_EQ((log).missing({__VA_ARGS__}), "")

namespace ostmail {
namespace smtptest {

using testsupport::ScriptedSmtpServer;
using testsupport::lacks;
using Peer = ScriptedSmtpServer;  // short, for the scripts in case tables

// "E: text", "I: text", "D: name=value".
class RecordingLog : public LogBase {
public:
    bool LogError(const char* t) override { return add("E: ", t); }
    bool LogInfo(const char* t) override { return add("I: ", t); }
    bool LogData(const char* n, const char* v) override { return add("D: ", std::string(n) + "=" + (v ? v : "")); }
    bool LogDataLong(const char* n, int32_t v) override { return add("D: ", std::string(n) + "=" + std::to_string(v)); }

    bool has(const std::string& line) const { return std::find(lines.begin(), lines.end(), line) != lines.end(); }
    // The wanted lines the log lacks, with the whole log after them; "" when none.
    std::string missing(const std::vector<std::string>& wanted) const {
        std::string out;
        for (const auto& w : wanted)
            if (!has(w)) out += "missing: " + w + "\n";
        return out.empty() ? out : out + "log:\n" + text();
    }
    bool hasPrefix(const std::string& prefix) const {
        return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
    }
    std::string text() const {
        std::string all;
        for (const auto& l : lines) all += l + "\n";
        return all;
    }

    std::vector<std::string> lines;

private:
    bool add(const char* kind, const std::string& t) { return lines.push_back(kind + t), true; }
};


inline XString xs(const std::string& s) {
    XString x;
    x.setFromUtf8(s.c_str());
    return x;
}

inline std::string b64(const std::string& s) {
    StringBuffer out;
    ContentCoding::encodeBase64Flat(s.data(), s.size(), out);
    return out.toStdString();
}

// Greeting, then an EHLO answered with these lines (CRLF between them, not after the last).
inline ScriptedSmtpServer& greet(ScriptedSmtpServer& srv, const std::string& ehlo = "250 ok") {
    return srv.reply("220 hi").expectReply("EHLO", ehlo);
}

struct Client {
    SmtpConnImpl conn;
    SmtpTextMessage msg;  // what sendTo() sends
    RecordingLog log;
    bool timedOut = false;
    bool aborted = false;
    SmtpSendResult result;
    ExtPtrArray bad;

    Client() { conn.setHeloHostname("client.test"); }
    ~Client() { bad.removeAllObjects(); }

    bool connect(int port, const std::string& login = "", const std::string& password = "",
                 const std::string& method = "", uint32_t readTimeoutMs = 5000, const char* host = "127.0.0.1") {
        return conn.smtpConnect(host, port, xs(login), xs(password), xs(""), xs(method), 5, readTimeoutMs,
                                nullptr, log, nullptr, timedOut, aborted);
    }
    // Starts the server's script, then connects to it.
    bool open(ScriptedSmtpServer& srv, const std::string& login = "", const std::string& password = "",
              const std::string& method = "", uint32_t readTimeoutMs = 5000) {
        srv.start();
        return connect(srv.port(), login, password, method, readTimeoutMs);
    }
    bool send(SmtpMessage& m, const char* from = "sender@example.test", ProgressMonitor* pm = nullptr,
              const char* sentLog = nullptr) {
        return conn.sendEmail(&m, from, nullptr, sentLog, log, pm, result, bad, true, false);
    }
    // Sends msg after adding these To addresses and setting this text.
    bool sendTo(std::initializer_list<const char*> to, const char* text = "Subject: hi\r\n\r\nline one\r\n",
                const char* from = "sender@example.test", ProgressMonitor* pm = nullptr,
                const char* sentLog = nullptr) {
        msg.setSubject("hi");
        for (const char* a : to) msg.addAddress(SmtpMessage::kTo, a);
        msg.text().setString(text);
        return send(msg, from, pm, sentLog);
    }
    // The last send in one line: "accepted/attempted", then the flags that
    // are set, then whether the connection is still open.
    std::string outcome() const {
        std::string s = std::to_string(result.accepted) + "/" + std::to_string(result.attempted);
        if (result.protocolFailure) s += " protocolFailure";
        if (result.timedOut) s += " timedOut";
        if (result.aborted) s += " aborted";
        if (result.tooManyMessages) s += " tooManyMessages";
        return s + (conn.isConnected() ? " connected" : " closed");
    }
    std::vector<std::string> badAddresses() const {
        std::vector<std::string> out;
        for (int32_t i = 0; i < bad.getSize(); ++i) out.push_back(bad.at<StringBuffer>(i)->toStdString());
        return out;
    }
};

// One connect against a scripted peer, from its first line to the client's end.
struct ConnectCase {
    const char* name;
    std::function<void(ScriptedSmtpServer&)> script;
    std::string login, password, method;
    bool ok;
    std::vector<std::string> log;  // "...127.0.0.1:" lines get the peer's port
    std::vector<std::string> lines;  // all the peer receives; "text*" matches lines that start with text
    std::vector<std::string> shown = {}, hidden = {};  // in the transcript, or not
    std::function<void(Client&)> more = nullptr;
    uint32_t readTimeoutMs = 5000;
    std::function<void(SmtpConnImpl&)> setup = nullptr;  // before the connect
};

inline void expectConnects(const std::vector<ConnectCase>& cases) {
    for (const ConnectCase& k : cases) {
        SCOPED_TRACE(k.name);
        ScriptedSmtpServer srv;
        k.script(srv);
        {
            Client c;
            if (k.setup) k.setup(c.conn);
            EXPECT_EQ(c.open(srv, k.login, k.password, k.method, k.readTimeoutMs), k.ok) << c.log.text();
            std::vector<std::string> log = k.log;
            const std::string host = "127.0.0.1:", port = std::to_string(srv.port());
            for (std::string& l : log)
                if (l.size() > host.size() && l.substr(l.size() - host.size()) == host) l += port;
            EXPECT_EQ(c.log.missing(log), "");
            const std::string t = c.conn.transcript().toStdString();
            for (const std::string& l : k.shown) EXPECT_NE(t.find(l + "\r\n"), t.npos) << l << "\n" << t;
            for (const std::string& l : k.hidden) EXPECT_EQ(t.find(l), t.npos) << l << "\n" << t;
            if (k.more) k.more(c);
        }  // the client's end says QUIT if still connected
        ASSERT_TRUE(srv.waitDone());
        const std::vector<std::string> got = srv.lines();
        bool same = got.size() == k.lines.size();
        for (size_t i = 0; same && i < got.size(); ++i) {
            const std::string& w = k.lines[i];
            const bool prefix = !w.empty() && w.back() == '*';
            same = prefix ? got[i].rfind(w.substr(0, w.size() - 1), 0) == 0 : got[i] == w;
        }
        EXPECT_TRUE(same) << srv.transcript();
        EXPECT_TRUE(srv.errors().empty()) << srv.transcript();
    }
}

}  // namespace smtptest
}  // namespace ostmail
