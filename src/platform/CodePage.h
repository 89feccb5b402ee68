#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace ostmail {
namespace platform {

// The mapping of a single-byte code page, taken once from the platform's
// tables and shared by every converter of the process.
struct SingleByteTable {
    static constexpr uint16_t kNone = 0xFFFF;

    uint16_t toUnit[256];  // kNone for a byte that maps to nothing
    bool asciiSame;        // bytes and code units below 128 map to themselves

    // Byte for a UTF-16 code unit, or -1 when the code page lacks it.
    int fromUnit(uint16_t unit) const {
        int page = pageOf[unit >> 8];
        return page < 0 ? -1 : pages[page][unit & 0xFF];
    }

    int16_t pageOf[256];                         // index into pages, -1 when none
    std::vector<std::array<int16_t, 256>> pages;  // byte or -1, per low 8 bits
};

// One conversion table, opened by Windows code-page number. Converts between
// the code page's bytes and UTF-16 and stops at every character that cannot
// be converted, so that the caller decides what to write instead.
// Not thread-safe; one object per conversion.
class CodePage {
public:
    enum class Status {
        kDone,        // all input consumed
        kBadChar,     // stopped after one character that cannot be converted
        kOutputFull,  // output space ran out; call again with more room
        kError        // the table failed for another reason
    };

    CodePage() = default;
    ~CodePage() = default;
    CodePage(const CodePage&) = delete;
    CodePage& operator=(const CodePage&) = delete;

    // True when some table covers the code page.
    static bool hasTable(uint32_t codePage);
    // The shared table of a single-byte code page; null for any other.
    static const SingleByteTable* singleByte(uint32_t codePage);

    bool open(uint32_t codePage);  // false when no table covers it
    void close();
    bool isOpen() const { return m_conv != nullptr; }

    // UTF-16 to bytes. On kBadChar `in` is past the character and its code
    // units (1 or 2) are in bad/badLen. The input is the whole remaining
    // text: the table's closing sequence is written when it is consumed.
    Status fromUtf16(const char16_t*& in, const char16_t* end, unsigned char*& out, unsigned char* outEnd,
                     char16_t bad[2], int& badLen);

    // Bytes to UTF-16. On kBadChar `in` is past the malformed or unmapped
    // byte sequence, whose length is in badLen.
    Status toUtf16(const unsigned char*& in, const unsigned char* end, char16_t*& out, char16_t* outEnd,
                   int& badLen);

    // Ends a double-byte run of a stateful table, as before text that the
    // caller writes itself after a kBadChar. False when there is no room.
    bool shiftOut(unsigned char*& out, unsigned char* outEnd);

private:
    struct Converter;
    struct Closer {
        void operator()(Converter* c) const;
    };
    std::unique_ptr<Converter, Closer> m_conv;
};

}  // namespace platform
}  // namespace ostmail
