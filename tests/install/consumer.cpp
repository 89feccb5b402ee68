// Built against an installed Ostmail only (through find_package or
// pkg-config) and run against the test Exim. Prints one line per case,
// "PASS name" or "FAIL name: why", and exits 1 when any case failed.
#include <ostmail/CMailObj.h>
#include <ostmail/ostmail.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::map<std::string, std::string> g_env;

std::string env(const std::string& key) { return g_env.count(key) ? g_env[key] : ""; }

bool loadEnv() {
    const char* path = std::getenv("OSTMAIL_TEST_ENV");
    std::ifstream in(path ? path : "");
    std::string line;
    while (std::getline(in, line)) {
        size_t eq = line.find("='");
        if (eq != std::string::npos && line.size() > eq + 2) g_env[line.substr(0, eq)] = line.substr(eq + 2, line.size() - eq - 3);
    }
    return !env("OSTMAIL_SMTP_PORT").empty();
}

std::string readFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The delivered copies (one per recipient) that hold token; waits for count.
std::vector<std::string> delivered(const std::string& token, size_t count) {
    std::vector<std::string> found;
    for (int i = 0; i < 200 && found.size() < count; ++i) {
        found.clear();
        for (const char* sub : {"new", "cur"}) {
            fs::path dir = fs::path(env("OSTMAIL_MAILDIR")) / sub;
            std::error_code ec;
            for (auto& e : fs::directory_iterator(dir, ec)) {
                std::string text = readFile(e.path());
                if (text.find(token) != std::string::npos) found.push_back(text);
            }
        }
        if (found.size() < count) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return found;
}

std::string base64(const std::string& in) {
    static const char* k = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < in.size(); i += 3) {
        unsigned v = static_cast<unsigned char>(in[i]) << 16;
        if (i + 1 < in.size()) v |= static_cast<unsigned char>(in[i + 1]) << 8;
        if (i + 2 < in.size()) v |= static_cast<unsigned char>(in[i + 2]);
        for (size_t k6 = 0; k6 < 4; ++k6) out.push_back(i + k6 <= in.size() ? k[(v >> (18 - 6 * k6)) & 63] : '=');
    }
    return out;
}

std::string token(const std::string& name) {
    static int n = 0;
    return "inst-" + name + "-" + std::to_string(::getpid()) + "-" + std::to_string(++n);
}

ostmail::SmtpSettings plainServer() {
    ostmail::SmtpSettings s;
    s.setHost(env("OSTMAIL_HOST"));
    s.setPort(std::stoi(env("OSTMAIL_SMTP_PORT")));
    s.setConnectTimeout(10);
    s.setReadTimeout(10);
    return s;
}

ostmail::Message simple(const std::string& tok) {
    ostmail::Message m;
    m.setFrom("consumer@example.test", "Consumer");
    m.addTo("one@example.test");
    m.setSubject(tok);
    m.setText("first line\nsecond line " + tok + "\n");
    return m;
}

// The first thing found wrong in a case.
struct Why {
    std::string text;
    void need(bool ok, const std::string& what) {
        if (!ok && text.empty()) text = what;
    }
    // r went out and one copy of tok arrived, which goes to *mail.
    void sentOnce(const ostmail::SendResult& r, const std::string& tok, std::string* mail = nullptr) {
        need(r.ok(), "not sent: " + r.reason());
        auto got = delivered(tok, 1);
        need(got.size() == 1, "delivered " + std::to_string(got.size()) + " copies of " + tok);
        if (mail && !got.empty()) *mail = got[0];
    }
};

using Case = std::pair<const char*, std::function<void(Why&)>>;

const std::vector<Case> kCases = {
    // Text with an HTML alternative, attachments from memory, a hidden and a
    // refused recipient.
    {"message", [](Why& why) {
         std::string tok = token("message"), blob;
         for (int i = 0; i < 256; ++i) blob.push_back(static_cast<char>(i));
         ostmail::Message m = simple(tok);
         m.setHtml("<p>Hello <b>" + tok + "</b></p>\n");
         m.attachData("report.csv", "a,b\n1,2\n", "text/csv");
         m.attachData("blob.bin", blob);
         m.addBcc("hidden@example.test");
         std::string bad = env("OSTMAIL_SMTP_REJECT_PREFIX") + "-me@example.test";
         m.addCc(bad);
         ostmail::SendResult r = ostmail::send(plainServer(), m);
         why.need(r.ok(), "not sent: " + r.reason());
         why.need(r.refused() == std::vector<std::string>{bad}, "refused list wrong");
         why.need(r.accepted() == std::vector<std::string>{"one@example.test", "hidden@example.test"},
                  "accepted list wrong");
         why.need(r.smtpStatus() == 250 && r.smtpReply().rfind("250 ", 0) == 0,
                  "last reply " + std::to_string(r.smtpStatus()) + " \"" + r.smtpReply() + "\"");
         auto got = delivered(tok, 2);
         why.need(got.size() == 2, "delivered " + std::to_string(got.size()) + " copies, not 2");
         for (const auto& mail : got) {
             std::istringstream h(mail.substr(0, mail.find("\n\n")));
             for (std::string line; std::getline(h, line);)
                 why.need(line.find("hidden@") == std::string::npos || line.rfind("Envelope-to:", 0) == 0,
                          "BCC address shown: " + line);
         }
         std::string mail = got.empty() ? "" : got[0];
         why.need(mail.find("first line\nsecond line") != std::string::npos, "body lines lost");
         for (const char* want : {"report.csv", "text/csv", "blob.bin"})
             why.need(mail.find(want) != std::string::npos, std::string("missing ") + want);
         std::string flat = mail;
         flat.erase(std::remove(flat.begin(), flat.end(), '\n'), flat.end());
         why.need(flat.find(base64(blob)) != std::string::npos, "blob bytes changed");
         size_t alt = mail.find("multipart/alternative"), text = mail.find("text/plain");
         size_t html = mail.find("text/html");
         why.need(alt != std::string::npos && text != std::string::npos && html != std::string::npos,
                  "not a text + HTML alternative");
         why.need(alt < text && text < html, "plain text is not the first alternative");
     }},
    {"starttls_verified", [](Why& why) {
         ostmail::SmtpSettings s = plainServer();
         s.setHost(env("OSTMAIL_TLS_HOST"));
         s.setSecurity(ostmail::Security::StartTls);
         s.setTrustFile(env("OSTMAIL_CA_FILE"));
         s.setRequireValidCertificate(true);
         std::string tok = token("tls");
         ostmail::SendResult r = ostmail::send(s, simple(tok));
         why.sentOnce(r, tok);
         why.need(r.log().find("STARTTLS") != std::string::npos, "no STARTTLS in the log");
         // The same demand against an expired certificate must fail.
         s.setSecurity(ostmail::Security::ImplicitTls);
         s.setPort(std::stoi(env("OSTMAIL_EXPIRED_SMTPS_PORT")));
         why.need(!ostmail::send(s, simple(token("expired"))).ok(), "expired certificate accepted");
     }},
    {"login", [](Why& why) {
         ostmail::SmtpSettings s = plainServer();
         s.setLogin(env("OSTMAIL_SMTP_USER"), env("OSTMAIL_SMTP_PASSWORD"), "LOGIN");
         std::string tok = token("login");
         why.sentOnce(ostmail::send(s, simple(tok)), tok);
         s.setLogin(env("OSTMAIL_SMTP_USER"), "wrong", "LOGIN");
         ostmail::SendResult bad = ostmail::send(s, simple(token("badlogin")));
         why.need(!bad.ok() && !bad.reason().empty(), "wrong password not reported");
     }},
    {"session_two_messages", [](Why& why) {
         ostmail::Session session(plainServer());
         std::string t1 = token("s1"), t2 = token("s2");
         ostmail::SendResult r1 = session.send(simple(t1));
         ostmail::SendResult r2 = session.send(simple(t2));
         why.sentOnce(r1, t1);
         why.sentOnce(r2, t2);
         why.need(r2.log().find("Using existing/open SMTP connection") != std::string::npos,
                  "second message did not reuse the connection");
         why.need(session.close(), "close after two sends failed");
     }},
    {"http_proxy_login", [](Why& why) {
         std::string tok = token("httpproxy");
         ostmail::SmtpSettings s = plainServer();
         int port = std::stoi(env("OSTMAIL_HTTP_PROXY_AUTH_PORT"));
         s.setHttpProxy("127.0.0.1", port, env("OSTMAIL_HTTP_PROXY_USER"), env("OSTMAIL_HTTP_PROXY_PASSWORD"));
         why.sentOnce(ostmail::send(s, simple(tok)), tok);
         s.setHttpProxy("127.0.0.1", port, env("OSTMAIL_HTTP_PROXY_USER"), "wrong");
         ostmail::SendResult bad = ostmail::send(s, simple(token("httpproxy-bad")));
         why.need(!bad.ok() && bad.reason().find("HTTP proxy login failed") != std::string::npos,
                  "wrong proxy password: \"" + bad.reason() + "\"");
     }},
    {"progress_abort", [](Why& why) {
         int calls = 0;
         ostmail::Message m = simple(token("abort"));
         m.attachData("big.bin", std::string(2 << 20, 'x'));
         ostmail::SendResult r = ostmail::send(plainServer(), m, [&](int) { return ++calls < 2; });
         why.need(!r.ok() && r.reason() == "aborted", "reason \"" + r.reason() + "\", not aborted");
     }},
    {"cmailobj_plain", [](Why& why) {
         std::string tok = token("cmail"), host = env("OSTMAIL_HOST");
         CMailObj m;
         m.SetServer(std::wstring(host.begin(), host.end()));
         m.SetPortNum(std::stoi(env("OSTMAIL_SMTP_PORT")));
         m.SetSenderAddr(L"cmail@example.test");
         m.SetRecipAddr(L"one@example.test");
         m.SetSubject(std::wstring(tok.begin(), tok.end()));
         m.SetBody(L"sent through CMailObj");
         why.need(m.DoMail() == 0, "DoMail failed");
         auto got = delivered(tok, 1);
         why.need(got.size() == 1, "not delivered");
         why.need(!got.empty() && got[0].find("sent through CMailObj") != std::string::npos, "body lost");
     }},
};

}  // namespace

int main(int argc, char** argv) {
    if (!loadEnv()) {
        std::cout << "FAIL setup: OSTMAIL_TEST_ENV missing or empty\n";
        return 1;
    }
    int failed = 0;
    for (const auto& c : kCases) {
        if (argc > 1 && std::string(argv[1]) != c.first) continue;
        Why why;
        c.second(why);
        const std::string& err = why.text;
        std::cout << (err.empty() ? "PASS " : "FAIL ") << c.first << (err.empty() ? "" : ": " + err) << std::endl;
        failed += !err.empty();
    }
    return failed ? 1 : 0;
}
