#pragma once
#include "core/ExtPtrArray.h"
#include "core/StringBuffer.h"
#include "email/MimeField.h"

#include <cstdint>

namespace ostmail {

class LogBase;

// The ordered header fields of one MIME node. Names compare without regard
// to ASCII case; replacing a field moves it to the end, so the emitted order
// is the order in which fields were last set. Owns its fields.
class MimeHeader {
public:
    MimeHeader() = default;
    ~MimeHeader();
    MimeHeader(const MimeHeader&) = delete;
    MimeHeader& operator=(const MimeHeader&) = delete;

    int32_t count() const { return m_fields.getSize(); }
    const MimeField* fieldAt(int32_t i) const { return m_fields.at<MimeField>(i); }
    bool nameAt(int32_t i, StringBuffer& out) const;   // appends
    bool valueAt(int32_t i, StringBuffer& out) const;  // appends

    bool hasField(const char* name) const;
    bool getValue(const char* name, StringBuffer& out) const;  // appends the first match
    const MimeField* findField(const char* name) const;

    // Both drop a value that is empty once trimmed; names with CR, LF,
    // colons or control bytes are refused (they would forge header lines).
    bool replaceField(const char* name, const char* value);
    bool addField(const char* name, const char* value);
    bool addParsedLine(const char* line);

    void removeField(const char* name);
    void removeEmptyFields();
    void removeAllButContentFields();
    void mergeDuplicates(const char* name);
    void copyFrom(const MimeHeader& other);   // code page reset to 0
    void mergeFrom(const MimeHeader& other);  // adds fields whose names are absent
    void clear() { m_fields.removeAllObjects(); }

    // Value of parameter param of field name ("charset" of "Content-Type").
    bool getParam(const char* name, const char* param, StringBuffer& out) const;
    bool valueMatches(const char* name, const char* pattern, bool caseSensitive) const;

    uint32_t sizeEstimate() const { return 60u * static_cast<uint32_t>(count()); }
    uint32_t codePage() const { return m_codePage; }
    void setCodePage(uint32_t cp) { m_codePage = cp; }

    // Writes every field not starting with skipPrefix, encoded for the code
    // page (0: the header's own), one per line; no line end after the last.
    void emit(StringBuffer& out, const char* skipPrefix, uint32_t codePage, LogBase& log) const;
    // The same with every fold removed.
    void emitUnfolded(StringBuffer& out, const char* skipPrefix, uint32_t codePage, LogBase& log) const;

    static bool validName(const char* name);

private:
    void emitFields(StringBuffer& out, const char* skipPrefix, uint32_t codePage, bool unfolded,
                    LogBase& log) const;
    bool appendField(const char* name, const char* value);

    uint32_t m_codePage = 0;
    ExtPtrArray m_fields;
};

}  // namespace ostmail
