#include "api/ResultReport.h"

#include "api/SendResultImpl.h"
#include "core/StringBuffer.h"
#include "smtp/ClsMailMan.h"
#include "smtp/SmtpSecurity.h"

#include <cctype>
#include <cstring>

namespace ostmail {

namespace {

// The reply's text: continuation lines joined by spaces, codes dropped.
std::string replyText(const std::string& reply, std::string* enhanced) {
    std::string text;
    size_t pos = 0;
    while (pos < reply.size()) {
        size_t eol = reply.find('\n', pos);
        std::string line = reply.substr(pos, eol == std::string::npos ? std::string::npos : eol - pos);
        pos = eol == std::string::npos ? reply.size() : eol + 1;
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        line = line.size() > 4 ? line.substr(4) : "";
        // RFC 3463: class.subject.detail right after the code.
        size_t sp = line.find(' ');
        std::string first = line.substr(0, sp);
        if (first.size() >= 5 && std::strchr("245", first[0]) && first[1] == '.' &&
            first.find_first_not_of("0123456789.") == std::string::npos) {
            if (enhanced && enhanced->empty()) *enhanced = first;
            line = sp == std::string::npos ? "" : line.substr(sp + 1);
        }
        if (!line.empty()) text += (text.empty() ? "" : " ") + line;
    }
    return text;
}

// The code of the reply's last line; 0 when there is none.
int replyCode(std::string reply) {
    while (!reply.empty() && (reply.back() == '\n' || reply.back() == '\r')) reply.pop_back();
    size_t start = reply.rfind('\n');
    start = start == std::string::npos ? 0 : start + 1;
    if (reply.size() < start + 3) return 0;
    int code = 0;
    for (size_t i = start; i < start + 3; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(reply[i]))) return 0;
        code = code * 10 + (reply[i] - '0');
    }
    return code;
}

// The socket layer's failure in words, from the connect's log lines.
std::string connectWords(const std::string& log) {
    static const struct {
        const char* mark;
        const char* words;
    } kWords[] = {
        {"Cannot get host by name", "host name not found"}, {"10061", "connection refused"},
        {"10060", "timed out"}, {"10065", "no route to host"}, {"10051", "network unreachable"},
        {"10054", "connection reset by the server"}, {"10013", "permission denied"},
        {"imed out", "timed out"},
    };
    for (const auto& w : kWords)
        if (log.find(w.mark) != std::string::npos) return w.words;
    return "the connection failed";
}

// The rest of the first log line holding mark; "" when none does.
std::string afterMark(const std::string& log, const char* mark) {
    size_t at = log.find(mark);
    if (at == std::string::npos) return "";
    at += std::strlen(mark);
    return log.substr(at, log.find_first_of("\r\n", at) - at);
}

// Implicit TLS shakes hands inside the connect: its failure lines tell.
bool tlsFailure(const std::string& log) {
    return log.find("handshake") != std::string::npos || log.find("ertificate") != std::string::npos;
}

// The server's words as it sent them, code first, for a reason line.
std::string quoted(const std::string& reply) {
    if (reply.empty()) return "no reply";
    std::string enhanced;
    std::string text = replyText(reply, &enhanced);
    return "\"" + std::to_string(replyCode(reply)) + (enhanced.empty() ? "" : " " + enhanced) +
           (text.empty() ? "" : " " + text) + "\"";
}

void setError(SendResult::Impl& r, SendError e, const std::string& reason) {
    r.error = e;
    r.reason = reason;
}

// A connect that did not get as far as a ready session.
void connectFailure(SendResult::Impl& r, SmtpStage stage, bool implicitTls, const std::string& log,
                    const std::string& server, const std::string& reply) {
    const std::string said = quoted(reply);
    const std::string certificate = afterMark(log, "Server certificate refused: ");
    if (!certificate.empty())
        return setError(r, SendError::Tls, "TLS with " + server + " failed: " + certificate);
    if (log.find(SmtpSecurity::kClearTextRefusal) != std::string::npos)
        return setError(r, SendError::Login, std::string(SmtpSecurity::kClearTextRefusal) + " (" + server + ")");
    switch (stage) {
    case SmtpStage::Connect:
        if (implicitTls && tlsFailure(log)) return setError(r, SendError::Tls, "TLS handshake with " + server + " failed");
        return setError(r, connectWords(log) == "timed out" ? SendError::TimedOut : SendError::Connect,
                        "could not connect to " + server + ": " + connectWords(log));
    case SmtpStage::Greeting:
        return setError(r, reply.empty() ? SendError::TimedOut : SendError::Connect,
                        server + " did not greet: " + said);
    case SmtpStage::Tls:
        return setError(r, SendError::Tls, "STARTTLS with " + server + " failed: " + said);
    case SmtpStage::Hello:
        return setError(r, SendError::Connect, server + " refused EHLO and HELO: " + said);
    default:
        return setError(r, reply.empty() ? SendError::TimedOut : SendError::Login,
                        "the login was refused by " + server + ": " + said);
    }
}

void transactionFailure(SendResult::Impl& r, const SmtpSendResult& sr, const std::string& server,
                        const std::string& reply) {
    const bool started = !sr.recipients.empty();
    if (sr.timedOut || reply.empty())
        return setError(r, SendError::TimedOut,
                        server + (started ? " stopped answering before the message went out"
                                          : " stopped answering before the sender was accepted"));
    // The last reply said yes, so what failed was the connection.
    if (replyCode(reply) < 400)
        return setError(r, started ? SendError::DataRefused : SendError::Connect,
                        "the connection to " + server + " was lost while sending");
    const std::string said = quoted(reply);
    if (!started) return setError(r, SendError::SenderRefused, "the sender was refused by " + server + ": " + said);
    std::string first;
    for (const auto& rc : r.recipients) {
        if (rc.accepted) return setError(r, SendError::DataRefused, "the message was refused by " + server + ": " + said);
        if (first.empty()) first = rc.address + ": " + std::to_string(rc.code) + " " + rc.text;
    }
    setError(r, SendError::RecipientsRefused, "every recipient was refused by " + server + " (" + first + ")");
}

}  // namespace

RecipientResult ResultReport::parseReply(const std::string& address, int code, const std::string& reply) {
    RecipientResult rc;
    rc.address = address;
    rc.code = code;
    rc.accepted = code == 250;
    rc.text = replyText(reply, &rc.enhancedStatus);
    return rc;
}

SendResult ResultReport::badInput(const std::string& reason) {
    SendResult result;
    result.impl().reason = reason;
    result.impl().log = "Not sent: " + reason + "\n";
    return result;
}

void ResultReport::fill(SendResult& result, ClsMailMan& man, const Send& send) {
    SendResult::Impl& r = result.impl();
    const SmtpSendResult& sr = man.lastSendResult();
    const bool replied = man.replyLinesRead() != send.linesBefore;
    if (replied) {
        XString reply;
        man.get_LastSmtpReply(reply);
        r.smtpReply = reply.getUtf8();
    }
    r.unconfirmed = sr.unconfirmed;
    if (r.unconfirmed) r.smtpReply.clear();  // the reply shown would be the one to DATA
    r.smtpStatus = replyCode(r.smtpReply);
    for (const auto& one : sr.recipients) {
        r.recipients.push_back(parseReply(one.address, one.code, one.reply));
        if (!r.recipients.back().accepted) r.refused.push_back(one.address);
    }
    r.ok = send.managerOk && !send.aborted && !r.unconfirmed;
    if (r.ok) {
        r.error = SendError::None;
        for (const auto& rc : r.recipients)
            if (rc.accepted) r.accepted.push_back(rc.address);
        return;
    }
    if (send.aborted) return setError(r, SendError::Aborted, "aborted by the progress callback");
    if (r.unconfirmed)
        return setError(r, SendError::Unconfirmed,
                        "no reply from " + send.server + " to the end of the message within " +
                            std::to_string(send.finalWaitSecs) + " s: it may or may not have been taken");
    if (man.lastConnectStage() != SmtpStage::Ready)
        return connectFailure(r, man.lastConnectStage(), send.implicitTls, result.log(), send.server, r.smtpReply);
    transactionFailure(r, sr, send.server, r.smtpReply);
}

}  // namespace ostmail
