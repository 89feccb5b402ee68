#include "ostmail/Session.h"

#include "api/MailBuilder.h"
#include "api/ProgressBridge.h"
#include "api/SendResultImpl.h"
#include "api/SmtpSettingsImpl.h"
#include "facade/VmEmail.h"
#include "facade/VmMailMan.h"
#include "smtp/ClsMailMan.h"
#include "smtp/OAuthBearer.h"

#include <algorithm>
#include <cctype>
#include <new>

namespace ostmail {

struct __attribute__((visibility("hidden"))) Session::Impl {
    explicit Impl(const SmtpSettings& s) : settings(s) {
        man.put_Utf8(true);
        MailBuilder::applySettings(settings, man);
    }
    SendResult send(const Message& message);
    bool takeToken(bool refresh, std::string& reason);
    void collect(SendResult& result, const Message& message, int32_t badBefore, const ProgressBridge& bridge);

    SmtpSettings settings;
    VmMailMan man;
    ProgressCallback progress;
};

namespace {

SendResult failed(const std::string& reason) {
    SendResult result;
    result.impl().reason = reason;
    result.impl().log = "Not sent: " + reason + "\n";
    return result;
}

bool isErrorLine(const std::string& line) {
    static const char* const kMarks[] = {"Failed", "failed", "Timed out", "Aborted", "closed", "rror", "refus"};
    for (const char* mark : kMarks)
        if (line.find(mark) != std::string::npos) return true;
    return false;
}

// The activity log's tree (its indented lines) names the first thing that
// went wrong and how the send ended; together they make the reason.
std::string reasonFromLog(const std::string& log, int status) {
    std::string first, last;
    size_t pos = 0;
    while (pos < log.size()) {
        size_t eol = log.find('\n', pos);
        if (eol == std::string::npos) eol = log.size();
        std::string line = log.substr(pos, eol - pos);
        pos = eol + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();  // the log ends its lines with CRLF
        size_t text = line.find_first_not_of(" \t");
        if (text == 0 || text == std::string::npos || !isErrorLine(line)) continue;
        last = line.substr(text);
        if (first.empty()) first = last;
    }
    std::string reason = first.empty() ? "not sent" : first == last ? first : first + "; " + last;
    return status ? reason + " (SMTP status " + std::to_string(status) + ")" : reason;
}

bool isTokenMechanism(const std::string& mechanism) {
    std::string m = mechanism;
    for (char& c : m) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return m == "XOAUTH2" || m == "OAUTHBEARER";
}

}  // namespace

// The provider's token becomes the manager's password; an exception or an
// empty token ends the send here.
bool Session::Impl::takeToken(bool refresh, std::string& reason) {
    std::string token;
    try {
        token = settings.impl().tokenProvider(refresh);
    } catch (...) {
        reason = "the OAuth 2.0 token provider failed";
        return false;
    }
    if (token.empty()) {
        reason = "the OAuth 2.0 token provider gave no token";
        return false;
    }
    if (!OAuthBearer::tokenUsable(token.c_str())) {
        reason = "the access token holds a CR, LF or 0x01 byte";
        return false;
    }
    man.put_SmtpPassword(token.c_str());
    std::fill(token.begin(), token.end(), '\0');
    return true;
}

SendResult Session::Impl::send(const Message& message) {
    std::string reason;
    if (!MailBuilder::checkSettings(settings, reason)) return failed(reason);
    VmEmail email;
    email.put_Utf8(true);
    if (!MailBuilder::buildEmail(message, email, reason)) return failed(reason);
    const auto& provider = settings.impl().tokenProvider;
    bool useProvider = provider && isTokenMechanism(settings.impl().mechanism);
    if (useProvider && !takeToken(false, reason)) return failed(reason);
    int32_t badBefore = man.get_NumBadAddresses();
    ProgressBridge bridge(progress);
    man.put_EventCallbackObject(progress ? &bridge : nullptr);
    bool ok = man.SendEmail(email);
    std::string firstLog;
    // A refused token: one fresh one, and the login again on a new connection.
    if (!ok && useProvider && man.get_TokenRefused()) {
        firstLog = man.lastErrorText();
        if (!takeToken(true, reason)) {
            man.put_EventCallbackObject(nullptr);
            return failed(reason);
        }
        ok = man.SendEmail(email);
    }
    man.put_EventCallbackObject(nullptr);
    const SmtpSettings::Impl& s = settings.impl();
    if (!s.requireValidCertificate && s.security != Security::None)
        man.impl()->log().LogInfo("warning: the server's certificate was not required to verify");
    if (s.allowPlaintextLogin && !s.user.empty())
        man.impl()->log().LogInfo("warning: a LOGIN or PLAIN password was allowed without verified TLS");
    SendResult result;
    result.impl().ok = ok;
    collect(result, message, badBefore, bridge);
    result.impl().lazyLog->before = firstLog;
    return result;
}

void Session::Impl::collect(SendResult& result, const Message& message, int32_t badBefore,
                            const ProgressBridge& bridge) {
    SendResult::Impl& r = result.impl();
    r.smtpStatus = man.get_LastSmtpStatus();
    r.smtpReply = man.lastSmtpReply();
    r.lazyLog = std::make_shared<SendResult::Impl::LazyLog>();
    man.impl()->takeLog(r.lazyLog->tree);
    for (int32_t i = badBefore; i < man.get_NumBadAddresses(); ++i)
        if (const char* bad = man.badAddress(i)) r.refused.emplace_back(bad);
    if (r.ok) {
        for (const std::string& a : MailBuilder::envelope(message))
            if (std::find(r.refused.begin(), r.refused.end(), a) == r.refused.end()) r.accepted.push_back(a);
    } else {
        r.reason = bridge.aborted() ? "aborted" : reasonFromLog(result.log(), r.smtpStatus);
    }
}

Session::Session(const SmtpSettings& settings) : m_impl(std::make_unique<Impl>(settings)) {}
Session::~Session() = default;
Session::Session(Session&& other) noexcept = default;
Session& Session::operator=(Session&& other) noexcept = default;

SendResult Session::send(const Message& message) {
    if (!m_impl) return failed("session was moved from");
    try {
        return m_impl->send(message);
    } catch (const std::bad_alloc&) {
        return failed("out of memory");
    } catch (...) {
        return failed("internal error");
    }
}

void Session::setProgress(ProgressCallback progress) {
    if (m_impl) m_impl->progress = std::move(progress);
}

bool Session::close() { return m_impl && m_impl->man.CloseSmtpConnection(); }

SendResult send(const SmtpSettings& settings, const Message& message, ProgressCallback progress) {
    try {
        Session session(settings);
        session.setProgress(std::move(progress));
        SendResult r = session.send(message);
        session.close();
        return r;
    } catch (...) {
        return failed("out of memory");
    }
}

}  // namespace ostmail
