#include "api/MailBuilder.h"

#include "api/MessageImpl.h"
#include "api/SmtpSettingsImpl.h"
#include "api/TextCheck.h"
#include "facade/VmEmail.h"
#include "facade/VmMailMan.h"
#include "smtp/ClsMailMan.h"
#include "platform/FileSystem.h"
#include "smtp/SmtpSecurity.h"

#include <initializer_list>
#include <utility>
#include <vector>

namespace ostmail {

namespace {

using Field = std::pair<const char*, const std::string*>;

bool allUtf8(std::initializer_list<Field> fields, std::string& reason) {
    for (const Field& f : fields) {
        if (TextCheck::isValidUtf8(*f.second)) continue;
        reason = std::string("invalid UTF-8 in ") + f.first;
        return false;
    }
    return true;
}

bool checkMessageText(const Message::Impl& m, std::string& reason) {
    if (!allUtf8({{"from", &m.from.address}, {"from name", &m.from.name}, {"reply-to", &m.replyTo},
                  {"subject", &m.subject}, {"text body", &m.text}, {"HTML body", &m.html}},
                 reason))
        return false;
    for (const auto* list : {&m.to, &m.cc, &m.bcc})
        for (const auto& p : *list)
            if (!allUtf8({{"recipient", &p.address}, {"recipient name", &p.name}}, reason)) return false;
    for (const auto& h : m.headers)
        if (!allUtf8({{"header name", &h.first}, {"header value", &h.second}}, reason)) return false;
    for (const auto& a : m.attachments)
        if (!allUtf8({{"attachment name", &a.pathOrName}, {"attachment type", &a.contentType}}, reason))
            return false;
    return true;
}

bool addRecipients(const Message::Impl& m, VmEmail& email, std::string& reason) {
    using Add = bool (VmEmail::*)(const char*, const char*);
    const std::pair<const std::vector<Message::Impl::Person>*, Add> lists[] = {
        {&m.to, &VmEmail::AddTo}, {&m.cc, &VmEmail::AddCC}, {&m.bcc, &VmEmail::AddBcc}};
    for (const auto& l : lists)
        for (const auto& p : *l.first) {
            if (p.address.empty() || !(email.*l.second)(p.name.c_str(), p.address.c_str())) {
                reason = "invalid recipient address: \"" + p.address + "\"";
                return false;
            }
        }
    return true;
}

void addBodies(const Message::Impl& m, VmEmail& email) {
    std::string text = TextCheck::toCrLf(m.text);
    if (m.html.empty()) {
        email.put_Body(text.c_str());
        return;
    }
    std::string html = TextCheck::toCrLf(m.html);
    if (m.text.empty()) {
        email.SetHtmlBody(html.c_str());
        return;
    }
    email.put_Body(text.c_str());
    email.AddHtmlAlternativeBody(html.c_str());
}

bool readable(const std::string& path) {
    if (platform::pathKind(path.c_str()) != platform::PathKind::kFile) return false;
    platform::FileReader r;
    return r.open(path.c_str());
}

bool addAttachments(const Message::Impl& m, VmEmail& email, std::string& reason) {
    for (const auto& a : m.attachments) {
        bool ok = a.fromFile ? readable(a.pathOrName) &&
                                   email.AddFileAttachmentOfType(a.pathOrName.c_str(), a.contentType.c_str())
                             : email.AddDataAttachment(a.pathOrName.c_str(), a.contentType.c_str(),
                                                       a.data.data(), a.data.size());
        if (!ok) {
            reason = (a.fromFile ? "attachment cannot be read: \"" : "attachment has no usable name: \"") +
                     a.pathOrName + "\"";
            return false;
        }
    }
    return true;
}

}  // namespace

bool MailBuilder::checkSettings(const SmtpSettings& settings, std::string& reason) {
    const SmtpSettings::Impl& s = settings.impl();
    if (s.host.empty()) {
        reason = "no SMTP server host";
        return false;
    }
    if (s.port < 1 || s.port > 65535) {
        reason = "SMTP port out of range: " + std::to_string(s.port);
        return false;
    }
    std::vector<unsigned char> pin;
    if (!s.pinSha256.empty() && !SmtpSecurity::decodePin(s.pinSha256.c_str(), pin)) {
        reason = "not a SHA-256 pin (base64 of 32 bytes): " + s.pinSha256;
        return false;
    }
    if (!s.httpProxyHost.empty() && (s.httpProxyPort < 1 || s.httpProxyPort > 65535)) {
        reason = "HTTP proxy port out of range: " + std::to_string(s.httpProxyPort);
        return false;
    }
    return allUtf8({{"host", &s.host}, {"user", &s.user}, {"password", &s.password},
                    {"SOCKS user", &s.socksUser}, {"SOCKS password", &s.socksPassword},
                    {"HTTP proxy host", &s.httpProxyHost}, {"HTTP proxy user", &s.httpProxyUser},
                    {"HTTP proxy password", &s.httpProxyPassword}},
                   reason);
}

void MailBuilder::applySettings(const SmtpSettings& settings, VmMailMan& man) {
    const SmtpSettings::Impl& s = settings.impl();
    man.put_SmtpHost(s.host.c_str());
    man.put_DualStack(true);
    man.put_Pipelining(true);
    man.put_SmtpUtf8(true);
    man.put_SmtpPort(s.port);
    man.put_StartTLS(s.security == Security::StartTls);
    man.put_SmtpSsl(s.security == Security::ImplicitTls);
    man.put_SmtpUsername(s.user.c_str());
    man.put_SmtpPassword(s.password.c_str());
    man.put_SmtpAuthMethod(s.mechanism.c_str());
    man.put_SslTrustFile(s.trustFile.c_str());
    man.put_SslTrustFolder(s.trustFolder.c_str());
    man.put_RequireSslCertVerify(s.requireValidCertificate);
    man.put_StartTlsIfOffered(s.security == Security::Auto);
    man.put_RefuseClearTextLogin(!s.allowPlaintextLogin);
    man.put_RequireTls12(true);
    man.put_SslProtocol(s.tlsProtocol.c_str());
    man.put_SslPinSha256(s.pinSha256.c_str());
    man.put_SocksVersion(s.socksHost.empty() ? 0 : s.socksVersion);
    man.put_SocksHostname(s.socksHost.c_str());
    man.put_SocksPort(s.socksPort);
    man.put_SocksUsername(s.socksUser.c_str());
    man.put_SocksPassword(s.socksPassword.c_str());
    man.put_HttpProxyHostname(s.httpProxyHost.c_str());
    man.put_HttpProxyPort(s.httpProxyPort);
    man.put_HttpProxyUsername(s.httpProxyUser.c_str());
    man.put_HttpProxyPassword(s.httpProxyPassword.c_str());
    if (s.connectTimeout > 0) man.put_ConnectTimeout(s.connectTimeout);
    if (s.readTimeout > 0) man.put_ReadTimeout(s.readTimeout);
    man.put_DsnNotify(s.dsnNotify.c_str());
    man.put_DsnRet(s.dsnRet.c_str());
    man.put_DsnEnvid(s.dsnEnvid.c_str());
    if (!s.heloName.empty()) man.put_HeloHostname(s.heloName.c_str());
    for (const SmtpSettings::Impl::Dkim& d : s.dkim) {
        DkimOptions o;
        o.relaxedHeader = d.options.relaxedHeader;
        o.relaxedBody = d.options.relaxedBody;
        o.headers = d.options.headers;
        o.expirySeconds = d.options.expirySeconds;
        o.identity = d.options.identity;
        man.impl()->addDkimSignature(d.domain.c_str(), d.selector.c_str(), d.keyPath.c_str(), o);
    }
}

bool MailBuilder::buildEmail(const Message& message, VmEmail& email, std::string& reason) {
    const Message::Impl& m = message.impl();
    if (!checkMessageText(m, reason)) return false;
    if (m.from.address.empty()) {
        reason = "no sender address";
        return false;
    }
    if (m.to.empty() && m.cc.empty() && m.bcc.empty()) {
        reason = "no recipient";
        return false;
    }
    email.put_FromAddress(m.from.address.c_str());
    if (!m.from.name.empty()) email.put_FromName(m.from.name.c_str());
    if (!addRecipients(m, email, reason)) return false;
    if (!m.replyTo.empty()) email.AddHeaderField("Reply-To", m.replyTo.c_str());
    email.put_Subject(m.subject.c_str());
    addBodies(m, email);
    for (const auto& h : m.headers) email.AddHeaderField(h.first.c_str(), h.second.c_str());
    return addAttachments(m, email, reason);
}

std::vector<std::string> MailBuilder::envelope(const Message& message) {
    const Message::Impl& m = message.impl();
    std::vector<std::string> out;
    for (const auto* list : {&m.to, &m.cc, &m.bcc})
        for (const auto& p : *list) out.push_back(p.address);
    return out;
}

}  // namespace ostmail
