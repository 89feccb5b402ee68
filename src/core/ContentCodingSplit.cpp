// Long header texts as several short encoded words, cut on character
// boundaries by going through UTF-16.
#include "core/Charset.h"
#include "core/ContentCoding.h"
#include "core/DataBuffer.h"
#include "core/EncodingConvert.h"
#include "core/LogBase.h"
#include "core/StringBuffer.h"

namespace ostmail {
namespace {

constexpr uint32_t kUtf16 = 1200;
constexpr uint32_t kUtf8 = 65001;

struct SplitRule {
    size_t minBytes;  // shorter texts stay one word
    size_t pieceUnits;
};
constexpr SplitRule kBRule{24, 12};
constexpr SplitRule kQRule{35, 17};

inline bool isHighSurrogate(const unsigned char* unit) {
    const unsigned hi = unit[1];
    return hi >= 0xD8 && hi <= 0xDB;
}

// Piece length in code units starting at i, never ending between the two
// halves of a surrogate pair.
size_t pieceLength(const unsigned char* u16, size_t i, size_t units, size_t want) {
    size_t len = units - i < want ? units - i : want;
    if (len > 1 && i + len < units && isHighSurrogate(u16 + 2 * (i + len - 1))) --len;
    return len;
}

template <typename WordFn>
bool splitWords(const void* data, size_t n, const char* charset, const SplitRule& rule, StringBuffer& out,
                WordFn word) {
    if (!data || n == 0) return false;
    if (n < rule.minBytes) return word(data, n);
    uint32_t cp = Charset::codePageOfName(charset ? charset : "");
    if (cp == 0) cp = kUtf8;
    EncodingConvert conv;
    LogNull log;
    DataBuffer u16;
    conv.convert(cp, kUtf16, data, n, u16, log);
    const size_t units = u16.getSize() / 2;
    if (units == 0) return word(data, n);
    const unsigned char* p = u16.getData();
    DataBuffer piece;
    for (size_t i = 0; i < units;) {
        const size_t len = pieceLength(p, i, units, rule.pieceUnits);
        piece.clear();
        conv.convert(kUtf16, cp, p + 2 * i, 2 * len, piece, log);
        if (i > 0) out.append("\r\n\t");
        if (piece.getSize() > 0) word(piece.getData(), piece.getSize());
        i += len;
    }
    return true;
}

}  // namespace

bool ContentCoding::encodeBWordsSplit(const void* data, size_t n, const char* charset, StringBuffer& out) {
    return splitWords(data, n, charset, kBRule, out,
                      [&](const void* d, size_t k) { return encodeBWord(d, k, charset, out); });
}

bool ContentCoding::encodeQWordsSplit(const void* data, size_t n, const char* charset, StringBuffer& out) const {
    return splitWords(data, n, charset, kQRule, out,
                      [&](const void* d, size_t k) { return encodeQWord(d, k, charset, out); });
}

}  // namespace ostmail
