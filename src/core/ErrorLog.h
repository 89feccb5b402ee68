#pragma once
#include "core/ExtPtrArray.h"
#include "core/StringBuffer.h"

#include <memory>

namespace ostmail {

// One node of the log tree. A node owns its tag, text and children, so
// deleting a context deletes everything recorded under it.
class LogEntry2 : public VelmoraObject {
public:
    enum Kind { kContext = 'C', kError = 'E', kInfo = 'I', kLine = 'X', kData = 'T' };

    LogEntry2() = default;
    ~LogEntry2() override;
    LogEntry2(const LogEntry2&) = delete;
    LogEntry2& operator=(const LogEntry2&) = delete;

    bool isContext() const { return kind == kContext; }
    bool hasChildren() const { return children && children->getSize() > 0; }

    std::unique_ptr<ExtPtrArray> children;  // contexts only
    int kind = kInfo;
    std::unique_ptr<StringBuffer> tag;      // context tag or data name
    std::unique_ptr<StringBuffer> text;     // line text or data value
};

// The tree of entries with the stack of open contexts; element 0 of the
// stack is the root "VelmoraLog". The stack borrows its nodes: only the
// root is deleted here. Not locked: Logger serialises access.
class ErrorLog {
public:
    ErrorLog();
    virtual ~ErrorLog();
    ErrorLog(const ErrorLog&) = delete;
    ErrorLog& operator=(const ErrorLog&) = delete;

    // kind is LogEntry2::kError, kInfo or kLine.
    void addLine(int kind, const char* text);
    // name must already be trimmed and non-empty; a null value becomes "(NULL)".
    void addData(const char* name, const char* value);
    void enterContext(const char* tag);
    void leaveContext();
    void clear();
    int depth() const { return m_stack.getSize(); }
    // Exchanges the whole trees, open contexts included.
    void swap(ErrorLog& other) { m_stack.swap(other.m_stack); }

    void renderText(StringBuffer& out) const;
    void renderXml(StringBuffer& out) const;
    void renderHtml(StringBuffer& out) const;

private:
    void newRoot();
    void deleteRoot();
    LogEntry2* root() const { return m_stack.at<LogEntry2>(0); }
    LogEntry2* current() const { return static_cast<LogEntry2*>(static_cast<VelmoraObject*>(m_stack.lastElement())); }
    bool appendToCurrent(LogEntry2* node);

    ExtPtrArray m_stack;
};

}  // namespace ostmail
