#pragma once
// What one send did: success, who was accepted and refused, the server's
// last status and reply, and the activity log.

#include "ostmail/Export.h"

#include <memory>
#include <string>
#include <vector>

namespace ostmail {

// What stopped a send, for callers that branch on it.
enum class SendError {
    None,               // sent
    Connect,            // no connection to the server (refused, unknown host, ...)
    Tls,                // the TLS handshake or STARTTLS failed
    Login,              // the server refused the login
    SenderRefused,      // MAIL FROM refused
    RecipientsRefused,  // every recipient refused
    DataRefused,        // DATA or the message refused, or the connection lost while sending it
    Unconfirmed,        // the whole message went out but no reply to it came
    Aborted,            // the progress callback returned false
    BadInput,           // the message or the settings are not usable; nothing was sent
    TimedOut,           // the server stopped answering before the message went out
};

// One envelope recipient and the server's answer to its RCPT TO.
struct RecipientResult {
    std::string address;
    bool accepted = false;
    int code = 0;                // the reply code; 0 when no reply came
    std::string enhancedStatus;  // "5.1.1" and the like (RFC 3463); empty when the reply had none
    std::string text;            // the reply's text after the codes, lines joined by a space
    // A 4xx refusal may succeed later; a 5xx one will not.
    bool transient() const { return code >= 400 && code < 500; }
    bool permanent() const { return code >= 500; }
};

class OSTMAIL_EXPORT SendResult {
public:
    SendResult();
    ~SendResult();
    SendResult(const SendResult& other);
    SendResult& operator=(const SendResult& other);
    SendResult(SendResult&& other) noexcept;
    SendResult& operator=(SendResult&& other) noexcept;

    // True once the server confirmed the message for at least one recipient.
    bool ok() const;
    explicit operator bool() const { return ok(); }
    // Why the send failed (None on success).
    SendError error() const;
    // The message went out whole but the server's reply to it never came:
    // it may have been taken. Retry if needed, knowing a duplicate is possible.
    bool unconfirmed() const;
    // One line in words saying why the send failed, naming the server
    // (host:port) where that matters; empty on success.
    const std::string& reason() const;
    // Envelope addresses the server accepted (empty unless ok()) and refused.
    const std::vector<std::string>& accepted() const;
    const std::vector<std::string>& refused() const;
    // Every RCPT TO of this send, in order, with the server's answer.
    const std::vector<RecipientResult>& recipients() const;
    // The last SMTP status code of this send (0 when no server replied to
    // its last command).
    int smtpStatus() const;
    // Every line of the server's last reply, CRLF kept (empty when none came).
    const std::string& smtpReply() const;
    // The whole activity log of the send, for the user or a log file.
    const std::string& log() const;

    struct Impl;
    // Internal: filled by the library.
    Impl& impl() { return *m_impl; }

private:
    std::unique_ptr<Impl> m_impl;
};

}  // namespace ostmail
