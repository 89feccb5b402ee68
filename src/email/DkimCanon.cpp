#include "email/DkimCanon.h"

#include "platform/SigningKey.h"

#include <cstring>

namespace ostmail {

namespace {

bool isWsp(char c) { return c == ' ' || c == '\t'; }

// Whether any byte of w equals the byte repeated in pattern.
inline bool hasByte(uint64_t w, uint64_t pattern) {
    uint64_t x = w ^ pattern;
    return ((x - 0x0101010101010101ULL) & ~x & 0x8080808080808080ULL) != 0;
}

// The length of the run at d that canonicalisation leaves as it is: no CR,
// and in the relaxed form no space or tab. Eight bytes at a time.
size_t plainRun(const char* d, size_t n, bool relaxed) {
    const uint64_t cr = 0x0D0D0D0D0D0D0D0DULL, sp = 0x2020202020202020ULL, tab = 0x0909090909090909ULL;
    size_t j = 0;
    for (; j + 8 <= n; j += 8) {
        uint64_t w;
        std::memcpy(&w, d + j, 8);
        if (hasByte(w, cr) || (relaxed && (hasByte(w, sp) || hasByte(w, tab)))) break;
    }
    while (j < n && d[j] != '\r' && !(relaxed && isWsp(d[j]))) ++j;
    return j;
}

}  // namespace

void DkimBodyCanon::update(const char* data, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        // Bytes that change nothing go to the hash as a run (base64 lines are
        // nearly all such bytes); the rest take the byte-wise path below.
        if (!m_cr && !m_space && m_emptyLines == 0) {
            size_t j = i + plainRun(data + i, n - i, m_relaxed);
            if (j > i) {
                emit(data + i, j - i);
                m_lineHasText = true;
                i = j - 1;
                continue;
            }
        }
        char c = data[i];
        if (m_cr) {
            m_cr = false;
            if (c == '\n') {
                endLine();
                continue;
            }
            content('\r');
        }
        if (c == '\r')
            m_cr = true;
        else if (m_relaxed && isWsp(c))
            m_space = true;
        else
            content(c);
    }
}

void DkimBodyCanon::content(char c) {
    for (; m_emptyLines > 0; --m_emptyLines) emit("\r\n", 2);
    if (m_space) emit(" ", 1);
    m_space = false;
    emit(&c, 1);
    m_lineHasText = true;
}

void DkimBodyCanon::endLine() {
    m_space = false;
    if (m_lineHasText)
        emit("\r\n", 2);
    else
        ++m_emptyLines;
    m_lineHasText = false;
}

void DkimBodyCanon::finish() {
    if (m_cr) content('\r');
    m_cr = false;
    m_space = false;
    if (m_lineHasText) emit("\r\n", 2);
    m_lineHasText = false;
    m_emptyLines = 0;
    // The simple form of an empty body is one CRLF; the relaxed form is empty.
    if (!m_relaxed && !m_anyOutput) emit("\r\n", 2);
    flush();
}

void DkimBodyCanon::emit(const char* s, size_t n) {
    m_anyOutput = true;
    if (m_outLen + n > sizeof m_out) flush();
    if (n > sizeof m_out / 2) {
        m_hash.update(s, n);
        return;
    }
    std::memcpy(m_out + m_outLen, s, n);
    m_outLen += n;
}

void DkimBodyCanon::flush() {
    m_hash.update(m_out, m_outLen);
    m_outLen = 0;
}

void dkimRelaxedHeader(const char* field, size_t n, std::string& out) {
    size_t colon = 0;
    while (colon < n && field[colon] != ':') ++colon;
    size_t nameEnd = colon;
    while (nameEnd > 0 && isWsp(field[nameEnd - 1])) --nameEnd;
    for (size_t i = 0; i < nameEnd; ++i) {
        char c = field[i];
        out += (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
    }
    out += ':';
    bool space = false, started = false;
    for (size_t i = colon + 1; i < n; ++i) {
        char c = field[i];
        if (c == '\r' || c == '\n') continue;  // unfolding
        if (isWsp(c)) {
            space = started;
            continue;
        }
        if (space) out += ' ';
        space = false;
        started = true;
        out += c;
    }
    out += "\r\n";
}

}  // namespace ostmail
