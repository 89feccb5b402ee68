#pragma once
#include "core/XString.h"
#include "facade/VmString.h"

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace ostmail {

class ClsEmail;

// Facade of the e-mail object. Text goes in and out as 8-bit strings in the
// system ANSI code page, or UTF-8 when the Utf8 switch is on. Returned texts
// live in ten result strings used in turn, so each stays valid until ten
// more text-returning calls have been made.
class VmEmail {
public:
    VmEmail();
    ~VmEmail();
    VmEmail(const VmEmail&) = delete;
    VmEmail& operator=(const VmEmail&) = delete;

    bool get_Utf8() const { return m_utf8; }
    void put_Utf8(bool on) { m_utf8 = on; }

    void put_Body(const char* text);
    const char* body();
    void put_Subject(const char* text);
    const char* subject();
    void put_FromName(const char* name);
    const char* fromName();
    void put_FromAddress(const char* address);
    const char* fromAddress();
    void put_Charset(const char* name);
    const char* charset();

    void SetHtmlBody(const char* html);
    void AddPlainTextAlternativeBody(const char* text);
    void AddHtmlAlternativeBody(const char* html);

    bool AddTo(const char* name, const char* address);
    bool AddCC(const char* name, const char* address);
    bool AddBcc(const char* name, const char* address);
    // Many (name, address) pairs at once, to To (0), Cc (1) or Bcc (2), in
    // time linear in their number; false at the first bad one.
    // A file shown inside the HTML body as "cid:contentId"; false without
    // an HTML body or when the file cannot be read.
    bool AddRelatedFile(const char* path, const char* contentId);
    bool AddRecipients(int kind, const std::vector<std::pair<std::string, std::string>>& people);
    bool AddFileAttachment(const char* path, VmString& contentType);
    const char* addFileAttachment(const char* path);  // null on failure
    // A file with a given content type (null or empty: by extension).
    bool AddFileAttachmentOfType(const char* path, const char* contentType);
    // Bytes attached as a file named fileName; false when the name is empty.
    bool AddDataAttachment(const char* fileName, const char* contentType, const void* data, size_t n);

    void AddHeaderField(const char* name, const char* value);
    void RemoveHeaderField(const char* name);
    const char* getHeaderField(const char* name);  // null when absent
    int get_NumTo() const;
    int get_NumCC() const;
    int get_NumBcc() const;
    int get_NumAttachments() const;

    bool GetMime(VmString& out);
    const char* getMime();
    const char* lastErrorText();
    bool SaveLastError(const char* path);

    ClsEmail* impl() { return m_impl.get(); }

    static const int kNumResults = 10;

private:
    void in(XString& x, const char* text) const;
    VmString& nextResult();
    const char* out(VmString& s, XString& x);

    std::unique_ptr<ClsEmail> m_impl;
    bool m_utf8 = false;
    int m_next = 0;
    VmString m_results[kNumResults];
};

}  // namespace ostmail
