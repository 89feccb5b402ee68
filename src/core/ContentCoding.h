#pragma once
#include <cstddef>
#include <cstdint>

namespace ostmail {

class DataBuffer;
class StringBuffer;

// Base64 (RFC 4648 alphabet), quoted-printable (RFC 2045), RFC 2047 encoded
// words and uuencoding. Only the line length and the comma flag are state;
// everything else is a pure function of its input.
//
// Every routine appends to its output and never clears it. Null or empty
// input appends nothing and returns false. No routine logs.
class ContentCoding {
public:
    ContentCoding() = default;

    // Characters per base64 / quoted-printable line; raised to at least 10.
    void setLineLength(int n) { m_lineLength = n < 10 ? 10 : n; }
    int getLineLength() const { return m_lineLength; }
    // Also escape ',' as =2C in Q words (for words inside address lists).
    void setQEncodeCommas(bool on) { m_qEncodeCommas = on; }
    bool getQEncodeCommas() const { return m_qEncodeCommas; }
    // Q words inside a quoted parameter value also escape '"' and '\' (as
    // =22 and =5C): a reader takes the word apart only after the quotes.
    void setQEncodeQuotes(bool on) { m_qEncodeQuotes = on; }

    // --- base64 ---
    // Lines of at most the line length, each ended by CRLF, and a final CRLF
    // always (so whole-line input ends with an empty line).
    bool encodeBase64(const void* data, size_t n, StringBuffer& out) const;
    // One unbroken padded line, no CRLF.
    static bool encodeBase64Flat(const void* data, size_t n, StringBuffer& out);
    // Tolerant: stops at '=' or NUL, skips white space and anything outside
    // the alphabet. Leaves a zero byte after the data (inside the capacity).
    static bool decodeBase64(const char* text, size_t n, DataBuffer& out);
    // True when the text holds only '+'..'z' and white space up to the first
    // '=' or NUL.
    static bool isBase64(const char* text, size_t n);

    // --- quoted-printable ---
    bool encodeQuotedPrintable(const void* data, size_t n, StringBuffer& out) const;
    // Cuts at the first NUL; hard line breaks come out as CRLF.
    static bool decodeQuotedPrintable(const void* data, size_t n, DataBuffer& out);

    // --- RFC 2047 encoded words ---
    static bool encodeBWord(const void* data, size_t n, const char* charset, StringBuffer& out);
    bool encodeQWord(const void* data, size_t n, const char* charset, StringBuffer& out) const;
    // B for the charsets that need it (CJK, Thai, Turkish, Arabic), else Q.
    // A text that already holds "?Q?" or "?B?" is copied unchanged.
    bool encodeHeaderWord(const void* data, size_t n, const char* charset, StringBuffer& out) const;
    // Several words joined by "\r\n\t", cut on character boundaries.
    static bool encodeBWordsSplit(const void* data, size_t n, const char* charset, StringBuffer& out);
    bool encodeQWordsSplit(const void* data, size_t n, const char* charset, StringBuffer& out) const;
    static bool isBWordCharset(const char* charset);

    // Replace every encoded word in sb by its text in UTF-8. False when a
    // malformed word cut the text short.
    static bool decodeWordsToUtf8(StringBuffer& sb);
    // Decoded bytes as they are, charset ignored; appended to out.
    static bool decodeWordsRaw(const StringBuffer& in, StringBuffer& out);
    // As decodeWordsToUtf8, with ',' in decoded text written as "_COMMA_" so
    // that a display name cannot split an address list.
    static bool decodeWordsForAddressList(StringBuffer& sb, bool& hadComma);

    // --- uuencoding ---
    // Reads from the first "begin <mode> <name>" line to a zero-count line or
    // "end". False when there is no begin line.
    static bool uudecode(const char* text, size_t n, DataBuffer& out, uint32_t& mode, StringBuffer& fileName);
    static bool uuencode(const void* data, size_t n, uint32_t mode, const char* fileName, StringBuffer& out);

private:
    int m_lineLength = 72;
    bool m_qEncodeCommas = false;
    bool m_qEncodeQuotes = false;
};

}  // namespace ostmail
