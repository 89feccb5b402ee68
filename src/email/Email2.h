#pragma once
#include "core/DataBuffer.h"
#include "core/ExtPtrArray.h"
#include "core/StringBuffer.h"
#include "core/VelmoraObject.h"
#include "email/MimeHeader.h"

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace ostmail {

class LogBase;
class Rfc822Address;
struct AttachmentInfo;

// One MIME node. The root of a message also carries the recipient lists and
// the sender. Every stored field that is also a header parameter is kept in
// step with the header: the setters rewrite the matching field.
class Email2 : public VelmoraObject {
public:
    enum RecipientKind { kTo = 0, kCc = 1, kBcc = 2 };
    static constexpr int kOriginNew = 3;

    Email2();
    ~Email2() override;
    Email2(const Email2&) = delete;
    Email2& operator=(const Email2&) = delete;

    // A new message with the default header.
    static std::unique_ptr<Email2> createNewEmail(LogBase& log);
    // A new part: Content-Type text/plain and Content-Transfer-Encoding 7bit only.
    static std::unique_ptr<Email2> createNewPart();
    // Deep copy. With shareBodies the copy borrows the body memory of this
    // tree: this object must then outlive the copy and stay unchanged.
    std::unique_ptr<Email2> clone(bool shareBodies = false) const;

    // --- header fields ---
    MimeHeader& header() { return m_header; }
    const MimeHeader& header() const { return m_header; }
    void setHeaderField(const char* name, const char* value, LogBase& log);
    void removeHeaderField(const char* name);
    bool getHeaderField(const char* name, StringBuffer& out) const { return m_header.getValue(name, out); }

    // --- content description ---
    void setContentType(const char* type, const char* name, const char* protocol, const char* micalg,
                        uint32_t charset, const char* boundary, const char* smimeType, const char* typeParam);
    void rebuildContentType();  // from the stored fields
    void setCharset(uint32_t codePage);
    void setTransferEncoding(const char* value);
    void setDisposition(const char* disposition, const char* filename);
    void setContentId(const char* value);
    void setDate(const char* text);
    void setFormatFlowed(bool on) { m_formatFlowed = on; }
    void setDefaultCharsetName(const char* name) { m_defaultCharset.setString(name ? name : ""); }

    uint32_t charset() const { return m_charset; }
    const StringBuffer& contentType() const { return m_contentType; }
    const StringBuffer& disposition() const { return m_disposition; }
    const StringBuffer& transferEncoding() const { return m_transferEncoding; }
    const StringBuffer& filename() const { return m_filename; }
    const StringBuffer& nameParam() const { return m_name; }
    const StringBuffer& boundary() const { return m_boundary; }
    const StringBuffer& contentId() const { return m_contentId; }
    const StringBuffer& defaultCharsetName() const { return m_defaultCharset; }
    const DataBuffer& body() const { return m_body; }
    DataBuffer& bodyRw() { return m_body; }
    int64_t dateValue() const { return m_date; }
    int origin() const { return m_origin; }
    bool formatFlowed() const { return m_formatFlowed; }
    bool isMultipart() const { return m_parts.getSize() > 0; }
    bool contentTypeIs(const char* type) const { return m_contentType.equalsIgnoreCase(type); }

    int32_t numParts() const { return m_parts.getSize(); }
    Email2* partAt(int32_t i) const { return m_parts.at<Email2>(i); }

    // --- message-level operations (used on the root) ---
    void chooseCharsetFromText(const char* utf8, size_t n);
    void setBodyText(const char* utf8, size_t n, LogBase& log);
    // The body setter; returns the leaf that received the bytes.
    Email2* setBodyBytes(const void* utf8, size_t n, LogBase& log);
    // HTML body: a single-part message stays single-part; the HTML names
    // its charset in a META tag.
    void setHtmlBody(const char* utf8, size_t n, LogBase& log);
    // Adds or replaces the alternative of that content type, turning the
    // body into multipart/alternative first.
    void addAlternativeBody(const char* contentType, const char* utf8, size_t n, LogBase& log);
    void setSubject(const char* utf8);
    void setFromName(const char* utf8);
    void setFromAddress(const char* utf8);
    // Appends a recipient and rebuilds the To/Cc field; false when no
    // address object could be made (logged).
    bool addRecipient(RecipientKind kind, const char* name, const char* address, LogBase& log);
    // The same for many, the field built once, so the cost is linear in
    // their number. Stops at the first bad one; those before it stay.
    bool addRecipients(RecipientKind kind, const std::vector<std::pair<std::string, std::string>>& people,
                       LogBase& log);
    // Builds the attachment part and appends it, converting to
    // multipart/mixed first; false for a missing file. contentTypeOut receives the type.
    bool addFileAttachment(const char* path, StringBuffer& contentTypeOut, LogBase& log);
    bool addAttachmentPart(AttachmentInfo& info, LogBase& log);  // takes info.body
    // The file beside the HTML body, shown where the HTML says "cid:contentId";
    // false (logged) without an HTML body or when the file cannot be read.
    bool addRelatedFile(const char* path, const char* contentId, LogBase& log);
    void convertToMixed();
    void newMessageId();

    int32_t numRecipients(RecipientKind kind) const { return list(kind).getSize(); }
    const Rfc822Address* recipientAt(RecipientKind kind, int32_t i) const;
    const Rfc822Address* sender() const { return m_sender.get(); }
    const StringBuffer& pendingSenderName() const { return m_pendingName; }
    // Bare addresses of one list, in order (appended, owned StringBuffers).
    void recipientAddresses(RecipientKind kind, ExtPtrArray& out) const;
    void clearRecipients(RecipientKind kind);

    // --- sending ---
    // Envelope sender: Return-Path, the From address, the parsed From field,
    // Reply-To; brackets removed and trimmed. Empty when none is set.
    void envelopeSender(StringBuffer& out) const;
    // Header changes of the copy that is sent: return receipt, Return-Path
    // removed, VMX-Bcc turned into Bcc.
    void prepareForSending(LogBase& log);

    uint32_t sizeEstimate() const;
    bool sendSigned = false;
    bool sendEncrypted = false;

    // Moves all sub-parts of from behind this node's parts.
    void takePartsFrom(Email2& from);
    void insertPart(int32_t index, std::unique_ptr<Email2> part);
    void appendPart(std::unique_ptr<Email2> part) { insertPart(numParts(), std::move(part)); }
    Email2* firstLeaf();

private:
    ExtPtrArray& list(RecipientKind kind);
    const ExtPtrArray& list(RecipientKind kind) const;
    void rebuildRecipientField(RecipientKind kind);
    Email2* htmlForRelated();
    void makeRelated();
    bool appendRecipient(RecipientKind kind, const char* name, const char* address, LogBase& log);
    void rebuildFrom();
    void setFromFieldText(const char* text);
    void setReplyTo(const char* text);
    Email2* setTextBodyOnPart(const void* data, size_t n, LogBase& log);
    Email2* alternativeTarget();
    void convertToAlternative();
    void chooseCharsetForBytes(const void* data, size_t n);
    void copyContentFieldsFrom(const Email2& other);
    void wrapRelatedInMixed();
    Email2* applyBodyToAlternative(const char* type, const void* data, size_t n, LogBase& log);
    void copyFrom(const Email2& other, bool shareBodies);

    DataBuffer m_body;
    MimeHeader m_header;
    ExtPtrArray m_parts;
    ExtPtrArray m_to, m_cc, m_bcc;
    // The To and Cc values as last formatted and how many entries they hold:
    // the lists only grow or are emptied, so an add formats just the newest.
    struct FormattedList {
        StringBuffer text;
        int32_t count = 0;
    };
    FormattedList m_toText, m_ccText;
    StringBuffer m_pendingName;
    std::unique_ptr<Rfc822Address> m_sender;
    int64_t m_date = 0;
    StringBuffer m_contentType, m_disposition, m_transferEncoding, m_contentId;
    StringBuffer m_name, m_protocol, m_micalg, m_smimeType, m_typeParam;
    StringBuffer m_boundary, m_filename;
    uint32_t m_charset = 0;
    bool m_formatFlowed = false;
    StringBuffer m_defaultCharset;
    int m_origin = 0;
};

}  // namespace ostmail
