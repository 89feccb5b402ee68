#include "CheckCommand.h"

#include "facade/VmMailMan.h"
#include "net/SChannelWin32.h"
#include "smtp/ClsMailMan.h"

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

void printOffer(const SendOptions& o, const std::string& ehlo, bool tlsUsed) {
    std::string tls = o.ssl ? "implicit TLS" : tlsUsed ? "STARTTLS (in use)" : "none";
    if (!o.ssl && !tlsUsed && !offered(ehlo, "STARTTLS").empty()) tls = "STARTTLS offered";
    std::string auth = offered(ehlo, "AUTH"), size = offered(ehlo, "SIZE");
    std::printf("TLS: %s\n", tls.c_str());
    std::printf("AUTH: %s\n", auth.empty() ? "none" : auth.c_str());
    std::printf("DSN: %s\n", offered(ehlo, "DSN").empty() ? "no" : "yes");
    std::printf("SIZE: %s\n", size.empty() ? "not announced" : size.c_str());
}

// What the handshake showed: protocol, cipher, the certificate and its check.
void printTls(const SChannelWin32& ch, const SendOptions& o) {
    const platform::TlsCertificate& cert = *ch.serverCertificate();
    const platform::TlsConnectionInfo& info = ch.connectionInfo();
    std::printf("TLS version: %s\n", info.protocolName.empty() ? "unknown" : info.protocolName.c_str());
    std::printf("cipher: %s\n", info.cipherName.empty() ? "unknown" : info.cipherName.c_str());
    std::printf("certificate subject: %s\n", cert.subjectDn().c_str());
    std::printf("certificate issuer: %s\n", cert.issuerDn().c_str());
    std::printf("certificate expires: %s\n", cert.validUntil().c_str());
    bool verified = ch.serverCertVerified();
    std::string check = verified ? "verified" : "not verified: " + ch.certificateProblem();
    if (!verified && (o.insecure || !o.requireCert)) check += " (accepted: --insecure)";
    if (!o.pinSha256.empty())
        check += ch.pinMatched() ? "; public key matches the pin" : "; public key NOT the pinned one";
    std::printf("certificate check: %s\n", check.c_str());
}

// Whether a LOGIN or PLAIN password would go out on this connection.
void printLoginPolicy(const SendOptions& o, const SChannelWin32* ch, bool tlsUsed) {
    bool safe = tlsUsed && ch && ch->serverAuthenticated();
    const char* verdict = safe                    ? "allowed (verified TLS)"
                          : o.allowPlaintextLogin ? "allowed in clear text (--allow-plaintext-login)"
                                                  : "refused as clear text (no verified TLS)";
    std::printf("password login (LOGIN, PLAIN): %s\n", verdict);
}

}  // namespace

int runCheck(const SendOptions& o, ConfigureServer configure) {
    VmMailMan mm;
    configure(mm, o);
    bool login = !o.user.empty();
    bool ok = login ? mm.VerifySmtpLogin() : mm.VerifySmtpConnection();
    if (o.verbose || !ok) std::fputs(mm.lastErrorText(), stderr);
    std::string ehlo = mm.smtpCapabilities();
    const SChannelWin32* ch = mm.impl()->tlsChannel();
    bool tlsUsed = ch && ch->serverCertificate();
    if (!ehlo.empty()) printOffer(o, ehlo, tlsUsed);
    if (tlsUsed) printTls(*ch, o);
    if (!ehlo.empty() || tlsUsed) printLoginPolicy(o, ch, tlsUsed);
    if (!ok) {
        std::fprintf(stderr, "ostmail: %s failed\n", login ? "the login" : "the connection");
        return 1;
    }
    std::printf("%s\n", login ? "login: ok" : "connection: ok (login not checked)");
    return 0;
}

}  // namespace cli
}  // namespace ostmail
