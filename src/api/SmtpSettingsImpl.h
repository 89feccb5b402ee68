#pragma once
#include "ostmail/SmtpSettings.h"

#include <functional>
#include <string>
#include <vector>

namespace ostmail {

struct __attribute__((visibility("hidden"))) SmtpSettings::Impl {
    std::string host;
    int port = 25;
    bool portSet = false;
    Security security = Security::Auto;
    // Without a port: 465 for implicit TLS, 587 for STARTTLS, else 25.
    int effectivePort() const {
        if (portSet) return port;
        return security == Security::ImplicitTls ? 465 : security == Security::StartTls ? 587 : 25;
    }
    int finalReplyTimeout = 600;  // RFC 5321 section 4.5.3.2.6
    std::string user, password, mechanism;
    std::function<std::string(bool)> tokenProvider;
    std::string trustFile, trustFolder;
    bool requireValidCertificate = true;
    bool allowPlaintextLogin = false;
    std::string tlsProtocol, pinSha256;
    std::string socksHost, socksUser, socksPassword;
    int socksPort = 1080;
    int socksVersion = 5;
    std::string httpProxyHost, httpProxyUser, httpProxyPassword;
    int httpProxyPort = 80;
    int connectTimeout = 0;
    int readTimeout = 0;
    std::string dsnNotify, dsnRet, dsnEnvid;
    std::string heloName;
    struct Dkim {
        std::string domain, selector, keyPath;
        DkimSignatureOptions options;
    };
    std::vector<Dkim> dkim;
};

}  // namespace ostmail
