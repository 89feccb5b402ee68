#include "CheckCommand.h"

#include "facade/VmMailMan.h"

#include <cctype>
#include <cstdio>
#include <sstream>
#include <string>

namespace ostmail {
namespace cli {

namespace {

std::string upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// The keyword lines of an EHLO reply ("250-AUTH PLAIN LOGIN" -> "AUTH PLAIN LOGIN").
std::string offered(const std::string& ehlo, const std::string& keyword) {
    std::istringstream in(ehlo);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.size() < 4) continue;
        std::string text = line.substr(4);
        std::string head = upper(text.substr(0, text.find(' ')));
        if (head == keyword) return text.size() > keyword.size() ? text.substr(keyword.size() + 1) : "yes";
    }
    return "";
}

void printOffer(const SendOptions& o, const std::string& ehlo) {
    std::string tls = o.ssl ? "implicit TLS" : o.startTls ? "STARTTLS (in use)" : "none";
    if (!o.ssl && !o.startTls && !offered(ehlo, "STARTTLS").empty()) tls = "STARTTLS offered";
    std::string auth = offered(ehlo, "AUTH"), size = offered(ehlo, "SIZE");
    std::printf("TLS: %s\n", tls.c_str());
    std::printf("AUTH: %s\n", auth.empty() ? "none" : auth.c_str());
    std::printf("DSN: %s\n", offered(ehlo, "DSN").empty() ? "no" : "yes");
    std::printf("SIZE: %s\n", size.empty() ? "not announced" : size.c_str());
}

}  // namespace

int runCheck(const SendOptions& o, ConfigureServer configure) {
    VmMailMan mm;
    configure(mm, o);
    bool login = !o.user.empty();
    bool ok = login ? mm.VerifySmtpLogin() : mm.VerifySmtpConnection();
    if (o.verbose || !ok) std::fputs(mm.lastErrorText(), stderr);
    std::string ehlo = mm.smtpCapabilities();
    if (!ehlo.empty()) printOffer(o, ehlo);
    if (!ok) {
        std::fprintf(stderr, "ostmail: %s failed\n", login ? "the login" : "the connection");
        return 1;
    }
    std::printf("%s\n", login ? "login: ok" : "connection: ok (login not checked)");
    return 0;
}

}  // namespace cli
}  // namespace ostmail
