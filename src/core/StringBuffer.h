#pragma once
#include "core/VelmoraObject.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace ostmail {

class DataBuffer;
class LogBase;

// 8-bit, always zero-terminated, growable string. It may hold zero bytes
// inside its data size: length-based operations carry them, operations that
// search the text stop at the first one. Allocation failures never throw;
// the append is dropped and the old content kept.
//
// Growth: an append that would reach the buffer size allocates extend size
// + data size + n (+1 for text), and the extend size then becomes half the
// new buffer size, capped at 500,000 bytes.
class StringBuffer : public VelmoraObject {
public:
    static constexpr uint32_t kInitialSize = 202;
    static constexpr uint32_t kMaxExtendSize = 500000;

    StringBuffer();
    explicit StringBuffer(const char* s);
    StringBuffer(const char* s, size_t n);
    StringBuffer(const StringBuffer& other);
    StringBuffer& operator=(const StringBuffer& other);
    StringBuffer(StringBuffer&& other) noexcept;
    StringBuffer& operator=(StringBuffer&& other) noexcept;
    ~StringBuffer() override;

    // --- content ---
    const char* getString() const;
    char* getMutable();  // writable text; bytes up to the data size only
    uint32_t getSize() const;
    bool isEmpty() const { return getSize() == 0; }
    char lastChar() const;  // 0 when empty
    std::string toStdString() const;

    bool append(const char* s);  // null or empty: nothing
    bool append(const StringBuffer& s) { return appendN(s.getString(), s.getSize()); }
    bool append(const std::string& s) { return appendN(s.data(), s.size()); }
    bool appendN(const void* bytes, size_t n);  // raw bytes, re-terminated
    bool appendChar(char c);
    bool appendCharN(char c, size_t n);
    bool appendInt(int32_t v);
    bool appendUInt(uint32_t v);
    bool appendInt64(int64_t v);
    bool appendHex(uint32_t v, bool upper);
    bool appendFormat(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    bool prepend(const char* s);
    bool setString(const char* s);  // s may point into this buffer
    bool setString(const StringBuffer& s) { return setString(s.getString(), s.getSize()); }
    bool setString(const char* s, size_t n);
    void clear();        // keeps the memory
    void strongClear();  // also overwrites the old bytes (secrets)
    bool expectNumBytes(size_t n);  // room for n more bytes without growth
    void shorten(uint32_t n);       // drop n bytes at the end
    void truncateTo(uint32_t n);    // keep the first n bytes

    // Empties the text; a DataBuffer of at least 2 bytes (ending in the
    // terminator) then becomes the text without a copy and is left empty.
    void takeFrom(DataBuffer& db);
    char* detach(uint32_t* size = nullptr);  // caller frees with free()
    char* copyOut() const;                   // caller frees with free()
    void minimize();
    void swap(StringBuffer& other) noexcept;

    // --- edits ---
    void trim();                    // spaces and tabs, both ends
    void trimWhitespace();          // spaces, tabs, CR, LF, both ends
    void trimTrailingWhitespace();  // spaces, tabs, CR, LF at the end
    void trimPunctuation();         // - * / @ ' " at both ends
    void removeControls();          // 0x00-0x1F except TAB, LF, CR
    void zerosToSpaces();
    uint32_t removeCharOccurrences(char c, uint32_t fromIndex = 0);
    void truncateAtChar(char c);
    bool dropThroughChar(char c, bool dropCharToo);  // false when c is absent
    bool cutAfterLastChar(char c, bool cutAtChar);   // false when c is absent
    uint32_t replaceChar(char from, char to);
    uint32_t replaceAnyOf(const char* set, char to);  // every byte of set
    bool replaceFirstOccurrence(const char* find, const char* repl);
    uint32_t replaceAllOccurrences(const char* find, const char* repl);
    void toLowerCase();  // ASCII, and 0xC0-0xDF to their small letters
    void toUpperCase();  // ASCII only

    // --- queries ---
    bool equals(const char* s) const;
    bool equals(const StringBuffer& s) const;
    bool equalsIgnoreCase(const char* s) const;  // null equals empty
    bool beginsWith(const char* s) const;
    bool beginsWithIgnoreCase(const char* s) const;
    bool endsWith(const char* s) const;
    bool containsSubstring(const char* s) const;
    bool containsSubstringNoCase(const char* s) const;
    bool containsChar(char c) const;
    int32_t indexOf(const char* s, uint32_t from = 0) const;  // -1 when absent
    int32_t indexOfChar(char c, uint32_t from = 0) const;
    int32_t lastIndexOfChar(char c) const;
    uint32_t countChar(char c) const;
    bool is7bit(uint32_t n = 0) const;  // first n bytes, all when 0

    void reportSizes(LogBase& log) const;
    uint32_t bufferSize() const { return m_bufferSize; }
    uint32_t extendSize() const { return m_extendSize; }
    void setMode(int mode) { m_mode = (mode >= 0 && mode <= 2) ? static_cast<uint8_t>(mode) : 0; }
    int mode() const { return m_mode; }

private:
    static constexpr uint8_t kMagic = 0xAA;

    void check() const {
        if (m_magic != kMagic) integrityFailure("StringBuffer");
    }
    bool makeRoom(size_t n, bool forText);
    bool reallocExact(size_t newSize);
    void allocInitial(uint32_t wanted);
    void release();
    bool ownsMemory() const;
    size_t textLength() const;  // up to the first zero byte
    void setLength(uint32_t n) {
        m_dataSize = n;
        if (ownsMemory()) m_data[n] = '\0';
    }
    void eraseRange(uint32_t pos, uint32_t n);

    uint8_t m_magic;
    uint8_t m_mode = 0;
    char* m_data;
    uint32_t m_bufferSize;
    uint32_t m_dataSize;
    uint32_t m_extendSize;
};

}  // namespace ostmail
