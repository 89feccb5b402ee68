#pragma once
#include "core/StringBuffer.h"
#include "core/VelmoraObject.h"

#include <cstdint>
#include <memory>

namespace ostmail {

class LogBase;

// One header field. The value is kept unfolded, with encoded words already
// decoded to UTF-8; encoding and folding happen only when it is written out.
class MimeField : public VelmoraObject {
public:
    MimeField() = default;

    // Assigns name and value (decoded and unfolded, see the .cpp).
    void set(const char* name, const char* value);
    // Parses "Name: value" read back from a message; false without a colon.
    bool parseLine(const char* line);

    const StringBuffer& name() const { return m_name; }
    const StringBuffer& value() const { return m_value; }
    bool nameEquals(const char* name) const { return m_name.equalsIgnoreCase(name); }
    bool noFold() const { return m_noFold; }

    std::unique_ptr<MimeField> clone() const;
    // Name, colon, space, value; no encoding, no folding.
    void emitPlain(StringBuffer& out) const;
    uint32_t sizeEstimate() const { return m_name.getSize() + m_value.getSize() + 4; }

    // Removes folding ("\r\n\t", "\r\n ") and any CR or LF left behind, so
    // no stored value can ever be read as a second header line.
    static void unfold(StringBuffer& value);

    // A parameter value as a quoted string: double quotes around it, and a
    // backslash before each double quote or backslash in it, so that no
    // value (a file name, say) can end its parameter early.
    static void appendQuoted(const char* value, size_t n, StringBuffer& out);
    // The reverse for a parameter value as it stands after its "=": white
    // space trimmed, then one pair of outer quotes removed and the escapes
    // undone. An unquoted value is only trimmed.
    static void unquote(const char* value, size_t n, StringBuffer& out);
    // The index after the byte at i, or after the byte a backslash protects
    // inside quotes; a double quote flips inQuotes.
    static size_t stepQuoted(const char* s, size_t n, size_t i, bool& inQuotes);

private:
    void setValue(const char* value);
    void parseAddressValue(const char* raw);

    bool m_noFold = false;
    StringBuffer m_name;
    StringBuffer m_value;
};

}  // namespace ostmail
