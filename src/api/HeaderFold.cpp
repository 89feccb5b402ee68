#include "api/HeaderFold.h"

namespace ostmail {

namespace {

constexpr size_t kSoft = 78;

// Where to break a line that is too long: the last blank before the soft
// limit, else the first one after it; npos when there is none. A break is
// never right after the field name, which must keep a word on its line.
size_t breakPoint(const std::string& line, size_t minimum) {
    size_t best = std::string::npos;
    for (size_t i = minimum; i < line.size(); ++i) {
        if (line[i] != ' ' && line[i] != '\t') continue;
        if (i > 0 && (line[i - 1] == ' ' || line[i - 1] == '\t')) continue;
        if (i < kSoft || best == std::string::npos) best = i;
        if (i >= kSoft) break;
    }
    return best;
}

void foldLine(const std::string& line, bool first, std::string& out) {
    std::string rest = line;
    // The first word after "Name:" stays on the first line.
    size_t minimum = 1;
    if (first) {
        size_t colon = rest.find(':');
        minimum = colon == std::string::npos ? 1 : rest.find_first_not_of(" \t", colon + 1);
        if (minimum == std::string::npos) minimum = rest.size();
        ++minimum;
    }
    while (rest.size() > kSoft) {
        size_t at = breakPoint(rest, minimum);
        if (at == std::string::npos) break;
        out.append(rest, 0, at);
        out.append("\r\n");
        rest.erase(0, at);
        minimum = 1;
    }
    out.append(rest);
    out.append("\r\n");
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
    while (pos < end) {
        size_t eol = mime.find("\r\n", pos);
        if (eol == std::string::npos || eol >= end) eol = end;
        const std::string line = mime.substr(pos, eol - pos);
        const bool continuation = !line.empty() && (line[0] == ' ' || line[0] == '\t');
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
