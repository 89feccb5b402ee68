#pragma once
// What one send did: success, who was accepted and refused, the server's
// last status and reply, and the activity log.

#include "ostmail/Export.h"

#include <memory>
#include <string>
#include <vector>

namespace ostmail {

class OSTMAIL_EXPORT SendResult {
public:
    SendResult();
    ~SendResult();
    SendResult(const SendResult& other);
    SendResult& operator=(const SendResult& other);
    SendResult(SendResult&& other) noexcept;
    SendResult& operator=(SendResult&& other) noexcept;

    // True once the server took the message for at least one recipient.
    bool ok() const;
    explicit operator bool() const { return ok(); }
    // One line saying why the send failed; empty on success.
    const std::string& reason() const;
    // Envelope addresses the server accepted (empty on failure) and refused.
    const std::vector<std::string>& accepted() const;
    const std::vector<std::string>& refused() const;
    // The last SMTP status code (0 when no server replied).
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
