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
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
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

std::string withoutNewlines(std::string s) {
    s.erase(std::remove(s.begin(), s.end(), '\n'), s.end());
    return s;
}

std::string headerOf(const std::string& mail) { return mail.substr(0, mail.find("\n\n")); }

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

std::string sentOnce(const ostmail::SendResult& r, const std::string& tok, std::string* mail = nullptr) {
    if (!r.ok()) return "not sent: " + r.reason();
    auto got = delivered(tok, 1);
    if (got.size() != 1) return "delivered " + std::to_string(got.size()) + " copies";
    if (mail) *mail = got[0];
    return "";
}

using Case = std::pair<const char*, std::function<std::string()>>;

const std::vector<Case> kCases = {
    {"plain", [] {
         std::string tok = token("plain"), mail;
         std::string err = sentOnce(ostmail::send(plainServer(), simple(tok)), tok, &mail);
         if (err.empty() && mail.find("first line\nsecond line") == std::string::npos) err = "body lines lost";
         return err;
     }},
    {"starttls_verified", [] {
         ostmail::SmtpSettings s = plainServer();
         s.setHost(env("OSTMAIL_TLS_HOST"));
         s.setSecurity(ostmail::Security::StartTls);
         s.setTrustFile(env("OSTMAIL_CA_FILE"));
         s.setRequireValidCertificate(true);
         std::string tok = token("tls");
         ostmail::SendResult r = ostmail::send(s, simple(tok));
         std::string err = sentOnce(r, tok);
         if (err.empty() && r.log().find("STARTTLS") == std::string::npos) err = "no STARTTLS in the log";
         // The same demand against an expired certificate must fail.
         s.setSecurity(ostmail::Security::ImplicitTls);
         s.setPort(std::stoi(env("OSTMAIL_EXPIRED_SMTPS_PORT")));
         if (err.empty() && ostmail::send(s, simple(token("expired"))).ok()) err = "expired certificate accepted";
         return err;
     }},
    {"login", [] {
         ostmail::SmtpSettings s = plainServer();
         s.setLogin(env("OSTMAIL_SMTP_USER"), env("OSTMAIL_SMTP_PASSWORD"), "LOGIN");
         std::string tok = token("login");
         ostmail::SendResult r = ostmail::send(s, simple(tok));
         std::string err = sentOnce(r, tok);
         s.setLogin(env("OSTMAIL_SMTP_USER"), "wrong", "LOGIN");
         ostmail::SendResult bad = ostmail::send(s, simple(token("badlogin")));
         if (err.empty() && (bad.ok() || bad.reason().empty())) err = "wrong password not reported";
         return err;
     }},
    {"memory_attachments", [] {
         std::string tok = token("attach"), mail, blob;
         for (int i = 0; i < 256; ++i) blob.push_back(static_cast<char>(i));
         ostmail::Message m = simple(tok);
         m.attachData("report.csv", "a,b\n1,2\n", "text/csv");
         m.attachData("blob.bin", blob);
         std::string err = sentOnce(ostmail::send(plainServer(), m), tok, &mail);
         for (const char* want : {"report.csv", "text/csv", "blob.bin"})
             if (err.empty() && mail.find(want) == std::string::npos) err = std::string("missing ") + want;
         if (err.empty() && withoutNewlines(mail).find(base64(blob)) == std::string::npos) err = "blob bytes changed";
         return err;
     }},
    {"bcc", [] {
         std::string tok = token("bcc");
         ostmail::Message m = simple(tok);
         m.addBcc("hidden@example.test");
         ostmail::SendResult r = ostmail::send(plainServer(), m);
         if (!r.ok()) return "not sent: " + r.reason();
         auto got = delivered(tok, 2);
         if (got.size() != 2) return "delivered " + std::to_string(got.size()) + " copies, not 2";
         for (const auto& mail : got) {
             std::istringstream h(headerOf(mail));
             for (std::string line; std::getline(h, line);)
                 if (line.find("hidden@") != std::string::npos && line.rfind("Envelope-to:", 0) != 0)
                     return "BCC address shown: " + line;
         }
         return std::string();
     }},
    {"html_alternative", [] {
         std::string tok = token("html"), mail;
         ostmail::Message m = simple(tok);
         m.setHtml("<p>Hello <b>" + tok + "</b></p>\n");
         std::string err = sentOnce(ostmail::send(plainServer(), m), tok, &mail);
         size_t alt = mail.find("multipart/alternative"), text = mail.find("text/plain"), html = mail.find("text/html");
         if (err.empty() && (alt == std::string::npos || text == std::string::npos || html == std::string::npos))
             err = "not a text + HTML alternative";
         else if (err.empty() && !(alt < text && text < html)) err = "plain text is not the first alternative";
         return err;
     }},
    {"session_two_messages", [] {
         ostmail::Session session(plainServer());
         std::string t1 = token("s1"), t2 = token("s2");
         ostmail::SendResult r1 = session.send(simple(t1));
         ostmail::SendResult r2 = session.send(simple(t2));
         std::string err = sentOnce(r1, t1);
         if (err.empty()) err = sentOnce(r2, t2);
         if (err.empty() && r2.log().find("Using existing/open SMTP connection") == std::string::npos)
             err = "second message did not reuse the connection";
         if (err.empty() && !session.close()) err = "close after two sends failed";
         return err;
     }},
    {"refused_recipient", [] {
         std::string tok = token("refused");
         ostmail::Message m = simple(tok);
         std::string bad = env("OSTMAIL_SMTP_REJECT_PREFIX") + "-me@example.test";
         m.addCc(bad);
         ostmail::SendResult r = ostmail::send(plainServer(), m);
         std::string err = sentOnce(r, tok);
         if (err.empty() && r.refused() != std::vector<std::string>{bad}) err = "refused list wrong";
         if (err.empty() && r.accepted() != std::vector<std::string>{"one@example.test"}) err = "accepted list wrong";
         if (err.empty() && (r.smtpStatus() != 250 || r.smtpReply().rfind("250 ", 0) != 0))
             err = "last reply " + std::to_string(r.smtpStatus()) + " \"" + r.smtpReply() + "\"";
         return err;
     }},
    {"http_proxy_login", [] {
         std::string tok = token("httpproxy");
         ostmail::SmtpSettings s = plainServer();
         int port = std::stoi(env("OSTMAIL_HTTP_PROXY_AUTH_PORT"));
         s.setHttpProxy("127.0.0.1", port, env("OSTMAIL_HTTP_PROXY_USER"), env("OSTMAIL_HTTP_PROXY_PASSWORD"));
         std::string err = sentOnce(ostmail::send(s, simple(tok)), tok);
         s.setHttpProxy("127.0.0.1", port, env("OSTMAIL_HTTP_PROXY_USER"), "wrong");
         ostmail::SendResult bad = ostmail::send(s, simple(token("httpproxy-bad")));
         if (err.empty() && (bad.ok() || bad.reason().find("HTTP proxy login failed") == std::string::npos))
             err = "wrong proxy password: \"" + bad.reason() + "\"";
         return err;
     }},
    {"progress_abort", [] {
         int calls = 0;
         ostmail::Message m = simple(token("abort"));
         m.attachData("big.bin", std::string(2 << 20, 'x'));
         ostmail::SendResult r = ostmail::send(plainServer(), m, [&](int) { return ++calls < 2; });
         if (r.ok()) return std::string("sent despite the abort");
         return r.reason() == "aborted" ? std::string() : "reason \"" + r.reason() + "\", not aborted";
     }},
    {"cmailobj_plain", [] {
         std::string tok = token("cmail"), mail;
         CMailObj m;
         std::string host = env("OSTMAIL_HOST");
         m.SetServer(std::wstring(host.begin(), host.end()));
         m.SetPortNum(std::stoi(env("OSTMAIL_SMTP_PORT")));
         m.SetSenderAddr(L"cmail@example.test");
         m.SetRecipAddr(L"one@example.test");
         m.SetSubject(std::wstring(tok.begin(), tok.end()));
         m.SetBody(L"sent through CMailObj");
         if (m.DoMail() != 0) return std::string("DoMail failed");
         auto got = delivered(tok, 1);
         if (got.size() != 1) return std::string("not delivered");
         return got[0].find("sent through CMailObj") == std::string::npos ? std::string("body lost") : std::string();
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
        std::string err = c.second();
        std::cout << (err.empty() ? "PASS " : "FAIL ") << c.first << (err.empty() ? "" : ": " + err) << std::endl;
        failed += !err.empty();
    }
    return failed ? 1 : 0;
}
