#include "api/HeaderFold.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace ostmail {

namespace {

constexpr size_t kSoft = 78;

// Where to break a line that is too long: the last blank before the soft
// limit, else the first one after it; npos when there is none. A break is
// leaves at least one character before it.
size_t breakPoint(const std::string& line, size_t start, size_t minimum) {
    size_t best = std::string::npos;
    for (size_t i = start + minimum; i < line.size(); ++i) {
        if (line[i] != ' ' && line[i] != '\t') continue;
        if (line[i - 1] == ' ' || line[i - 1] == '\t') continue;
        if (i < start + kSoft || best == std::string::npos) best = i;
        if (i >= start + kSoft) break;
    }
    return best;
}

// Offsets rather than erasing, so a long line costs time linear in its length.
void foldLine(const std::string& line, bool first, std::string& out) {
    // The first word after "Name:" stays on the first line: readers keep
    // a fold right after the colon as a leading space.
    size_t minimum = 1;
    if (first) {
        size_t colon = line.find(':');
        minimum = colon == std::string::npos ? line.size() : line.find_first_not_of(" \t", colon + 1);
        minimum = minimum == std::string::npos ? line.size() : minimum + 1;
    }
    size_t start = 0;
    while (line.size() - start > kSoft) {
        size_t at = breakPoint(line, start, minimum);
        if (at == std::string::npos) break;
        out.append(line, start, at - start);
        out.append("\r\n");
        start = at;
        minimum = 1;
    }
    out.append(line, start, std::string::npos);
    out.append("\r\n");
}

// Runs of this many bytes without white space cannot be folded under 998.
constexpr size_t kLongToken = 900;

// RFC 2047 Q-encoded words of at most 75 characters, a UTF-8 sequence
// never split between two, separated by spaces (which decoding drops).
// The first word's payload is at most firstMax, so it can share its line.
std::string encodedWords(const std::string& text, size_t firstMax) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out, word;
    for (size_t i = 0; i < text.size();) {
        size_t n = 1;
        while (i + n < text.size() && (static_cast<unsigned char>(text[i + n]) & 0xC0) == 0x80) ++n;
        std::string piece;
        for (size_t k = i; k < i + n; ++k) {
            auto c = static_cast<unsigned char>(text[k]);
            if (c > 32 && c < 127 && c != '=' && c != '?' && c != '_') {
                piece.push_back(static_cast<char>(c));
            } else {
                piece += {'=', kHex[c >> 4], kHex[c & 15]};
            }
        }
        if (word.size() + piece.size() > (out.empty() ? firstMax : 63)) {
            out += (out.empty() ? "" : " ") + std::string("=?utf-8?Q?") + word + "?=";
            word.clear();
        }
        word += piece;
        i += n;
    }
    if (!word.empty()) out += (out.empty() ? "" : " ") + std::string("=?utf-8?Q?") + word + "?=";
    return out;
}

bool unstructured(const std::string& line) {
    const char* const kNames[] = {"subject:", "comments:", "x-"};
    for (const char* name : kNames) {
        size_t n = std::strlen(name);
        if (line.size() < n) continue;
        bool same = true;
        for (size_t i = 0; i < n && same; ++i) same = std::tolower(static_cast<unsigned char>(line[i])) == name[i];
        if (same) return true;
    }
    return false;
}

// A word too long for any fold becomes encoded words, where RFC 2047
// allows them: a whole quoted name, or any word of an unstructured field.
std::string splitLongWords(const std::string& line, bool isUnstructured) {
    std::string out;
    size_t pos = 0;
    while (pos < line.size()) {
        size_t end = line.find_first_of(" \t", pos);
        if (end == std::string::npos) end = line.size();
        std::string word = line.substr(pos, end - pos);
        const bool quoted = word.size() > 2 && word.front() == '"' && word.back() == '"';
        if (word.size() > kLongToken && pos > 0 && (quoted || isUnstructured)) {
            std::string text;
            for (size_t i = quoted ? 1 : 0; i < word.size() - (quoted ? 1 : 0); ++i)
                if (!(quoted && word[i] == '\\')) text.push_back(word[i]);
            word = encodedWords(text, pos + 12 < kSoft ? std::max<size_t>(kSoft - pos - 12, 9) : 9);
        }
        out += word;
        if (end < line.size()) out.push_back(line[end]);
        pos = end + 1;
    }
    return out;
}

size_t headerEnd(const std::string& mime) {
    if (mime.compare(0, 2, "\r\n") == 0) return 0;
    size_t end = mime.find("\r\n\r\n");
    return end == std::string::npos ? mime.size() : end + 2;
}

}  // namespace

void HeaderFold::foldHeaderBlock(std::string& mime) {
    const size_t end = headerEnd(mime);
    std::string out;
    out.reserve(mime.size() + 64);
    size_t pos = 0;
    std::string field;  // the first line of the field being folded
    while (pos < end) {
        size_t eol = mime.find("\r\n", pos);
        if (eol == std::string::npos || eol >= end) eol = end;
        std::string line = mime.substr(pos, eol - pos);
        const bool continuation = !line.empty() && (line[0] == ' ' || line[0] == '\t');
        if (!continuation) field = line;
        if (line.size() > kLongToken) line = splitLongWords(line, unstructured(field));
        if (line.size() > kSoft)
            foldLine(line, !continuation, out);
        else
            out.append(line).append(eol < end ? "\r\n" : "");
        pos = eol + 2;
    }
    if (end < mime.size()) out.append(mime, end, std::string::npos);
    mime.swap(out);
}

}  // namespace ostmail
