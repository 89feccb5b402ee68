#include "api/MailBuilder.h"

#include "api/HeaderFold.h"
#include "api/MessageImpl.h"
#include "api/SmtpSettingsImpl.h"
#include "api/TextCheck.h"
#include "email/MailboxSyntax.h"
#include "facade/VmEmail.h"
#include "facade/VmMailMan.h"
#include "ostmail/Mailbox.h"
#include "platform/FileSystem.h"
#include "smtp/ClsMailMan.h"
#include "smtp/SmtpSecurity.h"

#include <algorithm>
#include <cctype>
#include <cstring>
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

using Addr = MailboxSyntax::Mailbox;

// Each entry as the host wrote it: without a name the text may be a list
// or "Name <address>"; with a name it is one bare address.
bool parsePeople(const std::vector<Message::Impl::Person>& people, const char* what, std::vector<Addr>& out,
                 std::string& reason) {
    for (const auto& p : people) {
        std::vector<Mailbox> list;
        if (!Mailbox::parseList(p.address, list, reason)) {
            reason = std::string(what) + ": " + reason;
            return false;
        }
        if (!p.name.empty() && (list.size() != 1 || !list[0].name().empty())) {
            reason = std::string(what) + ": \"" + p.address + "\" is not one bare address";
            return false;
        }
        for (const Mailbox& m : list) out.push_back({p.name.empty() ? m.name() : p.name, m.address()});
    }
    return true;
}

bool addRecipients(const Message::Impl& m, VmEmail& email, std::vector<std::string>& envelope,
                   std::string& reason) {
    const struct {
        const std::vector<Message::Impl::Person>* people;
        const char* what;
    } lists[] = {{&m.to, "recipient"}, {&m.cc, "cc recipient"}, {&m.bcc, "bcc recipient"}};
    for (int kind = 0; kind < 3; ++kind) {
        std::vector<Addr> parsed;
        if (!parsePeople(*lists[kind].people, lists[kind].what, parsed, reason)) return false;
        std::vector<std::pair<std::string, std::string>> pairs;
        pairs.reserve(parsed.size());
        for (Addr& a : parsed) {
            envelope.push_back(a.address);
            pairs.emplace_back(std::move(a.name), std::move(a.address));
        }
        // All at once: the header field is built one time, not once per recipient.
        if (!email.AddRecipients(kind, pairs)) {
            reason = std::string("invalid ") + lists[kind].what + " address";
            return false;
        }
    }
    if (envelope.empty()) reason = "no recipient";
    return !envelope.empty();
}

bool setSender(const Message::Impl& m, VmEmail& email, std::string& envelopeFrom, std::string& reason) {
    if (m.from.address.empty()) {
        reason = "no sender address";
        return false;
    }
    std::vector<Addr> from;
    if (!parsePeople({m.from}, "sender", from, reason)) return false;
    if (from.size() != 1) {
        reason = "sender: more than one address in \"" + m.from.address + "\"";
        return false;
    }
    email.put_FromAddress(from[0].address.c_str());
    if (!from[0].name.empty()) email.put_FromName(from[0].name.c_str());
    envelopeFrom = from[0].address;
    if (m.replyTo.empty()) return true;
    std::vector<Addr> replyTo;
    if (!parsePeople({{m.replyTo, ""}}, "reply-to", replyTo, reason)) return false;
    email.AddHeaderField("Reply-To", m.replyTo.c_str());
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

// Inline files first, so that attachments wrap the related part.
bool addInline(const Message::Impl& m, VmEmail& email, std::string& reason) {
    for (const auto& a : m.attachments) {
        if (a.contentId.empty()) continue;
        bool idOk = true;
        for (char c : a.contentId) idOk = idOk && c > 32 && c < 127 && c != '<' && c != '>' && c != '"';
        if (!idOk) {
            reason = "invalid content id \"" + a.contentId + "\"";
            return false;
        }
        if (m.html.empty()) {
            reason = "inline file \"" + a.pathOrName + "\" needs an HTML body";
            return false;
        }
        if (!readable(a.pathOrName) || !email.AddRelatedFile(a.pathOrName.c_str(), a.contentId.c_str())) {
            reason = "attachment cannot be read: \"" + a.pathOrName + "\"";
            return false;
        }
    }
    return true;
}

bool addAttachments(const Message::Impl& m, VmEmail& email, std::string& reason) {
    if (!addInline(m, email, reason)) return false;
    for (const auto& a : m.attachments) {
        if (!a.contentId.empty()) continue;
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

// Text bodies go out as text, so a NUL (which no text part may carry,
// RFC 5322 section 2.3) is refused rather than cut.
bool checkBodies(const Message::Impl& m, std::string& reason) {
    for (const auto& b : {std::make_pair("text body", &m.text), std::make_pair("HTML body", &m.html),
                          std::make_pair("subject", &m.subject)}) {
        if (b.second->find('\0') == std::string::npos) continue;
        reason = std::string("NUL byte in the ") + b.first + " (attach binary data with attachData)";
        return false;
    }
    return true;
}

bool iequals(const std::string& a, const char* b) {
    size_t n = std::strlen(b);
    if (a.size() != n) return false;
    for (size_t i = 0; i < n; ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// Fields the library writes from the envelope or the MIME structure; a
// second source for them could only contradict the first.
const char* ownedBy(const std::string& name) {
    static const struct {
        const char* name;
        const char* owner;
    } kOwned[] = {{"From", "setFrom"}, {"To", "addTo"}, {"Cc", "addCc"}, {"Bcc", "addBcc"},
                  {"Reply-To", "setReplyTo"}, {"MIME-Version", "the library"}, {"Return-Path", "the receiving server"}};
    for (const auto& o : kOwned)
        if (iequals(name, o.name)) return o.owner;
    if (name.size() >= 8 && iequals(name.substr(0, 8), "Content-")) return "the library";
    return nullptr;
}

bool checkHeaders(const Message::Impl& m, std::string& reason) {
    for (const auto& h : m.headers) {
        const std::string& name = h.first;
        bool ok = !name.empty();
        for (char c : name) ok = ok && c > 32 && c < 127 && c != ':';  // RFC 5322 section 3.6.8
        if (!ok) {
            reason = "invalid header name \"" + name + "\"";
            return false;
        }
        if (const char* owner = ownedBy(name)) {
            reason = "header \"" + name + "\" is set by " + owner;
            return false;
        }
        if (h.second.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
            reason = "line break or NUL in the value of header \"" + name + "\"";
            return false;
        }
        // Only free text can carry encoded words, so elsewhere a word longer
        // than a line may be cannot be folded (RFC 5322 section 2.1.1).
        const bool freeText = iequals(name, "Subject") || iequals(name, "Comments") ||
                              (name.size() > 2 && iequals(name.substr(0, 2), "X-"));
        size_t run = 0, longest = 0;
        for (char c : h.second) longest = std::max(longest, run = c == ' ' || c == '\t' ? 0 : run + 1);
        if (!freeText && longest > 900) {
            reason = "header \"" + name + "\" has a word too long to fold";
            return false;
        }
        if (iequals(name, "Sender") && !Mailbox::parse(h.second).ok()) {
            reason = "Sender: " + Mailbox::parse(h.second).reason();
            return false;
        }
        if (iequals(name, "Message-ID") &&
            (h.second.size() < 5 || h.second.front() != '<' || h.second.back() != '>' ||
             h.second.find('@') == std::string::npos)) {
            reason = "Message-ID must look like <id@host>: \"" + h.second + "\"";
            return false;
        }
    }
    return true;
}

// Kana make text Japanese; other text beyond ASCII goes out as UTF-8,
// which holds every character. The whole message decides, so a subject in
// Han characters alone does not label a Latin body Chinese.
const char* charsetFor(const Message::Impl& m) {
    bool wide = false;
    for (const std::string* t : {&m.subject, &m.text, &m.html, &m.from.name}) {
        for (size_t i = 0; i + 2 < t->size(); ++i) {
            auto b0 = static_cast<unsigned char>((*t)[i]), b1 = static_cast<unsigned char>((*t)[i + 1]);
            // U+3040..U+30FF hiragana and katakana: E3 81 80 .. E3 83 BF
            if (b0 == 0xE3 && b1 >= 0x81 && b1 <= 0x83) return "iso-2022-jp";
        }
        for (char c : *t) wide = wide || static_cast<unsigned char>(c) >= 0x80;
    }
    return wide ? "utf-8" : nullptr;
}

// RFC 3461 sections 4.1 to 4.4: NOTIFY is NEVER or a list of SUCCESS,
// FAILURE and DELAY; RET is FULL or HDRS; ENVID is printable ASCII.
bool checkDsn(const SmtpSettings::Impl& s, std::string& reason) {
    std::string notify = s.dsnNotify + ",";
    bool ok = true, never = false;
    size_t items = 0;
    for (size_t pos = 0, comma; !s.dsnNotify.empty() && (comma = notify.find(',', pos)) != std::string::npos;
         pos = comma + 1, ++items) {
        const std::string item = notify.substr(pos, comma - pos);
        never = never || iequals(item, "NEVER");
        ok = ok && (iequals(item, "NEVER") || iequals(item, "SUCCESS") || iequals(item, "FAILURE") ||
                    iequals(item, "DELAY"));
    }
    if (!ok || (never && items > 1)) {
        reason = "invalid DSN NOTIFY \"" + s.dsnNotify + "\" (NEVER, or SUCCESS, FAILURE and DELAY)";
        return false;
    }
    if (!s.dsnRet.empty() && !iequals(s.dsnRet, "FULL") && !iequals(s.dsnRet, "HDRS")) {
        reason = "invalid DSN RET \"" + s.dsnRet + "\" (FULL or HDRS)";
        return false;
    }
    for (char c : s.dsnEnvid) {
        if (c < 32 || c > 126 || s.dsnEnvid.size() > 100) {
            reason = "invalid DSN ENVID: printable ASCII, at most 100 characters";
            return false;
        }
    }
    return true;
}

// RFC 3461 section 4: '+', '=' and bytes outside '!'..'~' as "+XX".
std::string xtext(const std::string& text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (char ch : text) {
        auto c = static_cast<unsigned char>(ch);
        if (c > 32 && c < 127 && c != '+' && c != '=')
            out.push_back(ch);
        else
            out += {'+', kHex[c >> 4], kHex[c & 15]};
    }
    return out;
}

}  // namespace

bool MailBuilder::checkSettings(const SmtpSettings& settings, std::string& reason) {
    const SmtpSettings::Impl& s = settings.impl();
    if (s.host.empty()) {
        reason = "no SMTP server host";
        return false;
    }
    if (s.effectivePort() < 1 || s.effectivePort() > 65535) {
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
    if (!checkDsn(s, reason)) return false;
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
    man.put_SmtpPort(s.effectivePort());
    man.impl()->put_FinalReplyTimeout(s.finalReplyTimeout > 0 ? s.finalReplyTimeout : 0);
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
    man.put_DsnEnvid(xtext(s.dsnEnvid).c_str());
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

bool MailBuilder::buildEmail(const Message& message, VmEmail& email, Envelope& envelope, std::string& reason) {
    const Message::Impl& m = message.impl();
    envelope = Envelope();
    if (!checkMessageText(m, reason) || !checkBodies(m, reason) || !checkHeaders(m, reason)) return false;
    if (!setSender(m, email, envelope.from, reason)) return false;
    if (!addRecipients(m, email, envelope.recipients, reason)) return false;
    if (const char* charset = charsetFor(m)) email.put_Charset(charset);
    email.put_Subject(m.subject.c_str());
    addBodies(m, email);
    for (const auto& h : m.headers) email.AddHeaderField(h.first.c_str(), h.second.c_str());
    return addAttachments(m, email, reason);
}

bool MailBuilder::render(VmMailMan& man, VmEmail& email, std::string& mime, std::string& reason) {
    const char* text = man.renderToMime(email);
    if (!text) {
        reason = "the message could not be rendered";
        return false;
    }
    mime = text;
    HeaderFold::foldHeaderBlock(mime);
    // The message ends with a line end; the final dot's CRLF is not part of it.
    if (mime.size() < 2 || mime.compare(mime.size() - 2, 2, "\r\n") != 0) mime += "\r\n";
    return true;
}

}  // namespace ostmail
