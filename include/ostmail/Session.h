#pragma once
// Sending: ostmail::send for one message, ostmail::Session to send many
// over one connection.
//
//   ostmail::SmtpSettings server;
//   server.setHost("smtp.example.com");
//   server.setPort(587);
//   server.setSecurity(ostmail::Security::StartTls);
//   server.setLogin("reports", "secret");
//   ostmail::Message msg;
//   msg.setFrom("reports@example.com");
//   msg.addTo("a@example.com");
//   msg.setSubject("Nightly report");
//   msg.setText("See the attached file.\n");
//   msg.attachFile("/var/reports/nightly.pdf");
//   ostmail::SendResult r = ostmail::send(server, msg);
//   if (!r.ok()) std::cerr << r.reason() << '\n' << r.log();
//
// No function here throws; every failure is a SendResult with ok() false.

#include "ostmail/Export.h"
#include "ostmail/Message.h"
#include "ostmail/SendResult.h"
#include "ostmail/SmtpSettings.h"

#include <functional>
#include <memory>
#include <string>

namespace ostmail {

// Called while a message goes out with the percentage sent so far (0..100);
// return false to abort the send (error() Aborted). No call follows a false.
using ProgressCallback = std::function<bool(int percent)>;

class OSTMAIL_EXPORT Session {
public:
    // Keeps a copy of the settings; connects on the first send.
    explicit Session(const SmtpSettings& settings);
    // Ends the connection politely (QUIT) when one is open.
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    Session(Session&& other) noexcept;
    Session& operator=(Session&& other) noexcept;

    // Sends one message, reusing the open connection when there is one.
    // A failure leaves the session usable; the next send reconnects if needed.
    SendResult send(const Message& message);
    // Replaces the progress callback (an empty one removes it).
    void setProgress(ProgressCallback progress);
    // QUIT and close now; false when no connection was open (never
    // connected, or closed already).
    bool close();

    struct Impl;

private:
    std::unique_ptr<Impl> m_impl;
};

// The exact bytes send() would hand the server for this message, as the
// server stores them (before dot-stuffing; ending with CRLF). A message
// that send() would refuse gives ok false and the same reason. Message-ID
// and Date are made afresh on each call unless the message sets them, and
// so are MIME boundaries; DKIM signatures of the settings go on top of these
// bytes when they are sent.
struct RenderResult {
    bool ok = false;
    std::string bytes;
    std::string reason;
    explicit operator bool() const { return ok; }
};
OSTMAIL_EXPORT RenderResult render(const Message& message);

// Connects, sends one message and closes.
OSTMAIL_EXPORT SendResult send(const SmtpSettings& settings, const Message& message,
                               ProgressCallback progress = {});

}  // namespace ostmail
