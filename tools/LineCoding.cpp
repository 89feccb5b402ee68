#include "LineCoding.h"

#include "core/ContentCoding.h"
#include "core/StringBuffer.h"

namespace ostmail {
namespace cli {

namespace {

// Folds one line (no CRLF) before the last blank that keeps each piece short.
bool foldLine(const std::string& line, std::string& out) {
    size_t start = 0;
    bool ok = true;
    while (line.size() - start > kMaxLine) {
        size_t cut = line.find_last_of(" \t", start + kMaxLine);
        if (cut == std::string::npos || cut <= start) {
            ok = false;
            break;
        }
        out += line.substr(start, cut - start) + "\r\n";
        start = cut;
    }
    out += line.substr(start) + "\r\n";
    return ok;
}

}  // namespace

bool foldField(std::string& field) {
    std::string out;
    bool ok = true;
    for (size_t pos = 0; pos < field.size();) {
        size_t end = field.find("\r\n", pos);
        if (end == std::string::npos) end = field.size();
        ok = foldLine(field.substr(pos, end - pos), out) && ok;
        pos = end + 2;
    }
    field = out;
    return ok;
}

std::string quotedPrintable(const std::string& text) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    size_t col = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            out += "\r\n", ++i, col = 0;
            continue;
        }
        bool lineEnd = i + 1 == text.size() || text[i + 1] == '\r';
        bool plain = (c >= 33 && c <= 126 && c != '=') || ((c == ' ' || c == '\t') && !lineEnd);
        std::string piece = plain ? std::string(1, static_cast<char>(c)) : std::string{'=', hex[c >> 4], hex[c & 15]};
        if (col + piece.size() > 75) out += "=\r\n", col = 0;
        out += piece;
        col += piece.size();
    }
    return out;
}

std::string base64Lines(const std::string& bytes) {
    StringBuffer flat;
    ContentCoding::encodeBase64Flat(bytes.data(), bytes.size(), flat);
    std::string b64 = flat.getString(), out;
    for (size_t pos = 0; pos < b64.size(); pos += 76) out += b64.substr(pos, 76) + "\r\n";
    return out;
}

bool isUtf8(const std::string& text) {
    for (size_t i = 0; i < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        size_t n = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : 9;
        if (n == 9 || (n && c < 0xC2) || i + n >= text.size() + (n ? 0 : 1)) return false;
        for (size_t k = 1; k <= n; ++k)
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
        i += n + 1;
    }
    return true;
}

}  // namespace cli
}  // namespace ostmail
