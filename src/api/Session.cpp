#include "ostmail/Session.h"

#include "api/MailBuilder.h"
#include "api/ProgressBridge.h"
#include "api/ResultReport.h"
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

    SmtpSettings settings;
    VmMailMan man;
    ProgressCallback progress;
};

namespace {

// A fresh message object with the host's message in it, and its text.
bool prepare(const Message& message, VmMailMan& man, MailBuilder::Envelope& envelope, std::string& mime,
             std::string& reason) {
    VmEmail email;
    email.put_Utf8(true);
    return MailBuilder::buildEmail(message, email, envelope, reason) &&
           MailBuilder::render(man, email, mime, reason);
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
    std::string reason, mime;
    MailBuilder::Envelope envelope;
    if (!MailBuilder::checkSettings(settings, reason) || !prepare(message, man, envelope, mime, reason))
        return ResultReport::badInput(reason);
    const SmtpSettings::Impl& s = settings.impl();
    const bool useProvider = s.tokenProvider && isTokenMechanism(s.mechanism);
    if (useProvider && !takeToken(false, reason)) return ResultReport::badInput(reason);
    mime.resize(mime.size() - 2);  // the terminator's CRLF ends the last line
    ResultReport::Send info;
    info.server = s.host + ":" + std::to_string(s.effectivePort());
    info.finalWaitSecs = s.finalReplyTimeout > 0 ? s.finalReplyTimeout : man.get_ReadTimeout();
    info.linesBefore = man.impl()->replyLinesRead();
    info.implicitTls = s.security == Security::ImplicitTls;
    ProgressBridge bridge(progress);
    man.put_EventCallbackObject(progress ? &bridge : nullptr);
    info.managerOk = man.SendMimeToList(envelope.from.c_str(), envelope.recipients, mime.c_str());
    std::string firstLog;
    // A refused token: one fresh one, and the login again on a new connection.
    if (!info.managerOk && useProvider && man.get_TokenRefused()) {
        firstLog = man.lastErrorText();
        if (!takeToken(true, reason)) {
            man.put_EventCallbackObject(nullptr);
            return ResultReport::badInput(reason);
        }
        info.linesBefore = man.impl()->replyLinesRead();
        info.managerOk = man.SendMimeToList(envelope.from.c_str(), envelope.recipients, mime.c_str());
    }
    man.put_EventCallbackObject(nullptr);
    if (!s.requireValidCertificate && s.security != Security::None)
        man.impl()->log().LogInfo("warning: the server's certificate was not required to verify");
    if (s.allowPlaintextLogin && !s.user.empty())
        man.impl()->log().LogInfo("warning: a LOGIN or PLAIN password was allowed without verified TLS");
    info.aborted = bridge.aborted();
    SendResult result;
    result.impl().lazyLog = std::make_shared<SendResult::Impl::LazyLog>();
    man.impl()->takeLog(result.impl().lazyLog->tree);
    result.impl().lazyLog->before = firstLog;
    ResultReport::fill(result, *man.impl(), info);
    return result;
}

Session::Session(const SmtpSettings& settings) : m_impl(std::make_unique<Impl>(settings)) {}
Session::~Session() = default;
Session::Session(Session&& other) noexcept = default;
Session& Session::operator=(Session&& other) noexcept = default;

SendResult Session::send(const Message& message) {
    if (!m_impl) return ResultReport::badInput("session was moved from");
    try {
        return m_impl->send(message);
    } catch (const std::bad_alloc&) {
        return ResultReport::badInput("out of memory");
    } catch (...) {
        return ResultReport::badInput("internal error");
    }
}

void Session::setProgress(ProgressCallback progress) {
    if (m_impl) m_impl->progress = std::move(progress);
}

bool Session::close() {
    if (!m_impl) return false;
    const bool open = m_impl->man.impl()->isSmtpConnected();
    return m_impl->man.CloseSmtpConnection() && open;
}

SendResult send(const SmtpSettings& settings, const Message& message, ProgressCallback progress) {
    try {
        Session session(settings);
        session.setProgress(std::move(progress));
        SendResult r = session.send(message);
        session.close();
        return r;
    } catch (...) {
        return ResultReport::badInput("out of memory");
    }
}

RenderResult render(const Message& message) {
    RenderResult out;
    try {
        VmMailMan man;
        man.put_Utf8(true);
        MailBuilder::Envelope envelope;
        out.ok = prepare(message, man, envelope, out.bytes, out.reason);
        if (!out.ok) out.bytes.clear();
    } catch (...) {
        out = RenderResult();
        out.reason = "out of memory";
    }
    return out;
}

}  // namespace ostmail
