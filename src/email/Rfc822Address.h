#pragma once
#include "core/ExtPtrArray.h"
#include "core/StringBuffer.h"
#include "core/VelmoraObject.h"

#include <cstdint>

namespace ostmail {

class LogBase;

// Stateless text routines shared by address parsing and header parameter
// parsing. Pieces handed out in ExtPtrArrays are owned StringBuffers; the
// caller empties the array with removeAllObjects().
class Rfc822ParseHelp {
public:
    // Splits at sep outside double quotes. A backslash and the byte after it
    // are copied unchanged; quotes are kept. Empty pieces are produced too.
    static void splitQuoteAware(const char* text, uint32_t n, char sep, ExtPtrArray& pieces);
    // Header unfolding: CR and LF dropped, a TAB right after an LF becomes a space.
    static void unfold(StringBuffer& text);
    // True for "undisclosed recipient(s)" placeholders, any letter case.
    static bool isUndisclosed(const char* text);
    // Name rules shared by both ways of making an address: "?8bit?" words are
    // decoded to raw bytes, ISO-2022-JP text becomes B words.
    static void decode8bitMarker(StringBuffer& name);
    static bool hasIso2022JpEscape(const StringBuffer& name);
    static void encodeJapaneseName(StringBuffer& name, const char* charset);
};

// One mailbox: friendly name and bare address. Recipient lists are
// ExtPtrArrays of owned Rfc822Address pointers.
class Rfc822Address : public Rfc822ParseHelp, public VelmoraObject {
public:
    Rfc822Address();
    // Name and address passed separately (name may be null). Always valid.
    Rfc822Address(const char* name, const char* address);
    Rfc822Address(const Rfc822Address& other);
    Rfc822Address& operator=(const Rfc822Address& other);
    ~Rfc822Address() override = default;

    // Parses one address text into this object; returns the valid flag.
    bool parse(const char* text);
    // New object for one address text; null (nothing allocated) when no
    // address was found.
    static Rfc822Address* createByParsing(const char* text);
    // Parses a comma-separated list and appends the valid addresses to out
    // (caller owns them). Returns the count of valid pieces, counted before
    // duplicates (same address, ASCII case ignored) are dropped.
    static int parseAddressList(const char* text, ExtPtrArray& out, bool dropDuplicates);

    void copyFrom(const Rfc822Address& other);
    Rfc822Address* clone() const;  // null on allocation failure

    bool isValid() const { return m_valid != 0; }
    const StringBuffer& fullText() const { return m_fullText; }
    const StringBuffer& friendlyName() const { return m_name; }
    const StringBuffer& address() const { return m_address; }
    bool friendlyNameIsEmpty() const { return m_name.isEmpty(); }
    void setFriendlyName(const char* name);  // stored as given
    void setAddress(const char* address);    // brackets cut, spaces dropped unless quoted

    // Formatting; the first two append to out. Bare CR and LF never reach
    // the output.
    void toHeaderForm(StringBuffer& out) const;
    void toDisplayForm(StringBuffer& out) const;  // name with encoded words decoded
    StringBuffer* toPlainForm() const;            // new buffer, caller owns; null on failure

    // Replaces find by repl in full text, name and address.
    bool replaceInAll(const char* find, const char* repl);

    // Joins a list of Rfc822Address with ", " (header form, or display form
    // when asked); members that format to nothing are skipped. Appends.
    static void formatList(const ExtPtrArray& list, bool display, StringBuffer& out);

private:
    void reset();
    bool parseX400(const StringBuffer& text);
    void parseGeneral(const StringBuffer& text);
    void finishParsedName(bool hadNameStretch);

    uint8_t m_valid = 0;
    StringBuffer m_fullText;
    StringBuffer m_name;
    StringBuffer m_address;
};

}  // namespace ostmail
