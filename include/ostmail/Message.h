#pragma once
// One e-mail message for ostmail::send or ostmail::Session. All text is
// UTF-8; line ends may be LF (they are sent as CRLF). Nothing here checks
// its input: a bad address or invalid UTF-8 makes the send fail with a
// reason, so building a message never fails.

#include "ostmail/Export.h"

#include <memory>
#include <string>

namespace ostmail {

class OSTMAIL_EXPORT Message {
public:
    Message();
    ~Message();
    Message(const Message& other);
    Message& operator=(const Message& other);
    Message(Message&& other) noexcept;
    Message& operator=(Message&& other) noexcept;

    // Sender address and optional display name (replaces any earlier one).
    // Without a name the text may be "Name <address>" (see Mailbox::parse).
    void setFrom(const std::string& address, const std::string& name = "");
    // Adds a recipient shown in To, Cc, or in no header at all (Bcc).
    // Without a name the text may be a comma-separated list of mailboxes;
    // with one it must be a bare address. The envelope gets exactly the
    // addresses the header shows.
    void addTo(const std::string& address, const std::string& name = "");
    void addCc(const std::string& address, const std::string& name = "");
    void addBcc(const std::string& address, const std::string& name = "");
    // Where replies go (replaces any earlier one).
    void setReplyTo(const std::string& address);
    void setSubject(const std::string& subject);
    // The plain-text body. With an HTML body too, both are sent as
    // alternatives and the reader shows the one it prefers. The text goes
    // out as given, no line added; a NUL byte fails the send (binary data
    // belongs in attachData).
    void setText(const std::string& text);
    void setHtml(const std::string& html);
    // Attaches a file, read when the message is sent; an empty content type
    // is chosen by the file's extension. A file that cannot be read then
    // fails the send.
    void attachFile(const std::string& path, const std::string& contentType = "");
    // A file shown inside the HTML body where it says "cid:contentId"
    // (multipart/related); needs setHtml, else the send fails.
    void attachInline(const std::string& path, const std::string& contentId);
    // Attaches bytes as a file named fileName (the name the reader sees).
    void attachData(const std::string& fileName, const std::string& data, const std::string& contentType = "");
    // Adds a header field; a later one of the same name replaces it.
    // Message-ID and Date given here are used as they are (a retry with the
    // same Message-ID can be de-duplicated). Fields the library writes
    // (From, To, Cc, Bcc, Reply-To, MIME-Version, Content-*) are refused.
    void addHeader(const std::string& name, const std::string& value);

    struct Impl;
    // Internal: the library's view of the message.
    const Impl& impl() const { return *m_impl; }

private:
    std::unique_ptr<Impl> m_impl;
};

}  // namespace ostmail
