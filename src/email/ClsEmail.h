#pragma once
#include "core/ClsBase.h"
#include "core/StringBuffer.h"
#include "core/XString.h"
#include "email/Email2.h"

#include <memory>

namespace ostmail {

// The e-mail implementation class: owns the message tree and the activity
// log of its operations. Text arrives and leaves as XString (UTF-8 inside).
class ClsEmail : public ClsBase {
public:
    ClsEmail();
    ~ClsEmail() override;

    static const char kDllDate[];

    // Null only when the message could not be made.
    Email2* email() { return m_email.get(); }
    const Email2* email() const { return m_email.get(); }

    void put_Body(XString& text);
    bool get_Body(XString& out);
    void put_Subject(XString& text);
    bool get_Subject(XString& out);
    void put_FromName(XString& name);
    bool get_FromName(XString& out);
    void put_FromAddress(XString& address);
    bool get_FromAddress(XString& out);
    void put_Charset(XString& name);
    bool get_Charset(XString& out);

    void SetHtmlBody(XString& html);
    void AddPlainTextAlternativeBody(XString& text);
    void AddHtmlAlternativeBody(XString& html);

    bool AddTo(XString& name, XString& address);
    bool AddCC(XString& name, XString& address);
    bool AddBcc(XString& name, XString& address);
    // Many (name, address) pairs in UTF-8 at once, in time linear in their number.
    // A file shown inside the HTML body as "cid:contentId".
    bool AddRelatedFile(XString& path, XString& contentId);
    bool AddRecipients(Email2::RecipientKind kind, const std::vector<std::pair<std::string, std::string>>& people);
    bool AddFileAttachment(XString& path, XString& contentTypeOut);
    // As AddFileAttachment with the given type (empty: by extension). False,
    // nothing added, when the file is missing.
    bool AddFileAttachmentOfType(XString& path, XString& contentType);
    // Attaches n bytes as a file named fileName; an empty type is chosen by
    // the name's extension. False, nothing added, when the name is empty.
    bool AddDataAttachment(XString& fileName, XString& contentType, const void* data, size_t n);

    void AddHeaderField(XString& name, XString& value);
    void RemoveHeaderField(XString& name);
    bool GetHeaderField(XString& name, XString& out);
    int NumTo() const;
    int NumCC() const;
    int NumBcc() const;
    int NumAttachments() const;

    // The message as it would be sent (a prepared copy; this one is unchanged).
    bool GetMime(XString& out);

    // A copy for sending: Return-Path removed, internal instructions applied.
    // The copy shares the attachment bytes of this e-mail, which must outlive it.
    std::unique_ptr<Email2> cloneForSending(LogBase& log) const;

private:
    bool addRecipient(Email2::RecipientKind kind, const char* method, XString& name, XString& address);
    bool checkEmail(LogBase& log) const;

    std::unique_ptr<Email2> m_email;
};

}  // namespace ostmail
