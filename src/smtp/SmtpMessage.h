#pragma once
#include "core/ExtPtrArray.h"
#include "core/StringBuffer.h"

namespace ostmail {

class LogBase;

// What one mail transaction needs of a message: its subject for the log,
// the bare recipient addresses, and the text that DATA carries. The
// e-mail object stands behind it on the send path; tests use SmtpTextMessage.
class SmtpMessage {
public:
    enum Kind { kTo = 0, kCc = 1, kBcc = 2 };

    virtual ~SmtpMessage() = default;
    virtual void subject(StringBuffer& out) const = 0;
    // Appends owned StringBuffers, one per address, in list order.
    virtual void addresses(Kind kind, ExtPtrArray& out) const = 0;
    // Appends the message text for sending (no internal "VMX-" fields).
    virtual bool render(StringBuffer& out, LogBase& log) = 0;
    virtual void newMessageId() {}
    // The distribution-list file that replaces the recipient lists, if any.
    virtual bool distributionList(StringBuffer& path) const {
        (void)path;
        return false;
    }
};

// A message whose text is already rendered.
class SmtpTextMessage : public SmtpMessage {
public:
    SmtpTextMessage() = default;
    ~SmtpTextMessage() override;
    SmtpTextMessage(const SmtpTextMessage&) = delete;
    SmtpTextMessage& operator=(const SmtpTextMessage&) = delete;

    void setSubject(const char* s) { m_subject.setString(s); }
    void addAddress(Kind kind, const char* address);
    StringBuffer& text() { return m_text; }
    void setDistributionList(const char* path) { m_distList.setString(path); }

    void subject(StringBuffer& out) const override { out.append(m_subject); }
    void addresses(Kind kind, ExtPtrArray& out) const override;
    bool render(StringBuffer& out, LogBase&) override { return out.append(m_text); }
    bool distributionList(StringBuffer& path) const override {
        path.setString(m_distList);
        return !path.isEmpty();
    }

private:
    StringBuffer m_subject;
    StringBuffer m_text;
    StringBuffer m_distList;
    ExtPtrArray m_lists[3];
};

}  // namespace ostmail
