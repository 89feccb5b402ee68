#include "email/HeaderEncoder.h"

#include "core/Charset.h"
#include "core/ContentCoding.h"
#include "core/DataBuffer.h"
#include "core/EncodingConvert.h"
#include "core/LogBase.h"
#include "email/MimeField.h"

#include <cstring>

namespace ostmail {

namespace {

bool is7bit(const char* s, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (static_cast<unsigned char>(s[i]) & 0x80) return false;
    }
    return true;
}

bool isIso2022(uint32_t cp) { return cp >= 50220 && cp <= 50230; }

bool hasIso2022Escape(const char* s, size_t n) {
    for (size_t i = 0; i + 1 < n; ++i) {
        if ((s[i] == '(' && s[i + 1] == 'B') || (s[i] == '$' && s[i + 1] == ')')) return true;
    }
    return false;
}

size_t pendingLength(const StringBuffer& line) {
    int32_t nl = line.lastIndexOfChar('\n');
    return nl < 0 ? line.getSize() : line.getSize() - static_cast<uint32_t>(nl) - 1;
}

// State of one field being written as words.
class WordWriter {
public:
    WordWriter(const MimeField& f, uint32_t cp, const char* charset, bool useB, StringBuffer& line)
        : m_field(f), m_cp(cp), m_charset(charset), m_useB(useB), m_line(line) {}

    void writeValue(const char* s, size_t n);

private:
    bool named(const char* n) const { return m_field.nameEquals(n); }
    bool isAddressField() const { return named("to") || named("from") || named("cc"); }
    bool isSubject() const { return named("subject") || named("Thread-Topic"); }
    void writeParams(const char* s, size_t n);
    void writeParam(const char* s, size_t n);
    void writeStretch(const char* s, size_t n);
    void writeAddressStretch(const char* s, size_t n);
    void writeWords(const char* s, size_t n, bool quoted = false);
    void fold() { m_line.append("\r\n\t"); }

    const MimeField& m_field;
    uint32_t m_cp;
    const char* m_charset;
    bool m_useB;
    StringBuffer& m_line;
};

void WordWriter::writeWords(const char* s, size_t n, bool quoted) {
    if (n == 0) return;
    ContentCoding cc;
    cc.setQEncodeCommas(isAddressField());
    cc.setQEncodeQuotes(quoted);
    if (m_useB) cc.encodeBWordsSplit(s, n, m_charset, m_line);
    else cc.encodeQWordsSplit(s, n, m_charset, m_line);
}

void WordWriter::writeValue(const char* s, size_t n) {
    bool wholeValue = isIso2022(m_cp) && !named("content-type") && !named("content-disposition") &&
                      std::memchr(s, 0x1B, n) != nullptr;
    const char* semi = wholeValue ? nullptr : static_cast<const char*>(std::memchr(s, ';', n));
    if (!semi) {
        writeStretch(s, n);
        return;
    }
    size_t headLen = static_cast<size_t>(semi - s);
    if (headLen > 1) writeStretch(s, headLen);
    else m_line.appendN(s, headLen);
    m_line.appendChar(';');
    if (pendingLength(m_line) >= 35) fold();
    writeParams(semi + 1, n - headLen - 1);
}

void WordWriter::writeParams(const char* s, size_t n) {
    size_t start = 0;
    bool inQuotes = false;
    for (size_t i = 0; i <= n;) {
        if (i < n && (s[i] != ';' || inQuotes)) {
            i = MimeField::stepQuoted(s, n, i, inQuotes);
            continue;
        }
        size_t len = i - start;
        size_t pending = pendingLength(m_line);
        if (pending > 1 && pending + len > 64) fold();
        writeParam(s + start, len);
        if (i < n) m_line.appendChar(';');
        start = ++i;
    }
}

void WordWriter::writeParam(const char* s, size_t n) {
    const char* eq = static_cast<const char*>(std::memchr(s, '=', n));
    if (!eq) {
        size_t lead = 0;
        while (lead < n && (s[lead] == ' ' || s[lead] == '\t')) ++lead;
        m_line.appendN(s, lead);
        writeStretch(s + lead, n - lead);
        return;
    }
    size_t nameLen = static_cast<size_t>(eq - s) + 1;
    m_line.appendN(s, nameLen);
    StringBuffer value;
    MimeField::unquote(eq + 1, n - nameLen, value);
    const char* v = value.getString();
    size_t len = value.getSize();
    bool forced = (isIso2022(m_cp) || m_cp == 65000) && hasIso2022Escape(v, len);
    if (is7bit(v, len) && !forced) {
        MimeField::appendQuoted(v, len, m_line);
        return;
    }
    m_line.appendChar('"');
    writeWords(v, len, true);
    m_line.appendChar('"');
}

void WordWriter::writeStretch(const char* s, size_t n) {
    bool forced = false;
    if (isIso2022(m_cp) || m_cp == 65000) {
        forced = isSubject() || (isAddressField() && std::memchr(s, '<', n) && std::memchr(s, ' ', n));
    }
    if (is7bit(s, n) && !forced) {
        uint32_t pending = static_cast<uint32_t>(pendingLength(m_line));
        if (pending + n >= 66) HeaderEncoder::foldPlain(s, n, pending, m_field.noFold(), m_line);
        else m_line.appendN(s, n);
        return;
    }
    if (named("received") || named("content-transfer-encoding")) {
        m_line.appendN(s, n);
    } else if (isSubject() || named("Disposition-Notification-To")) {
        writeWords(s, n);
    } else {
        writeAddressStretch(s, n);
    }
}

// Where the next mailbox starts: a '<', or the start of a bare address whose
// '@' is followed later by a comma. n when there is none.
// A '<' or '@' inside a quoted display name marks nothing.
size_t findAddressMark(const char* s, size_t n, size_t from) {
    size_t mark = n, atPos = n;
    bool inQuotes = false;
    for (size_t i = from; i < n && mark == n; i = MimeField::stepQuoted(s, n, i, inQuotes)) {
        if (inQuotes) continue;
        if (s[i] == '<') mark = i;
        else if (s[i] == '@' && atPos == n) atPos = i;
    }
    const char* at = atPos < n ? s + atPos : nullptr;
    if (at && atPos < mark && std::memchr(at, ',', n - atPos)) {
        size_t p = atPos;
        while (p > from && s[p - 1] != ' ' && s[p - 1] != ',' && s[p - 1] != '\t' && s[p - 1] != '"') --p;
        mark = p;
    }
    return mark;
}

// Display names become words; the addresses themselves stay readable.
void WordWriter::writeAddressStretch(const char* s, size_t n) {
    bool copyBare = named("return-path") || isAddressField();
    size_t pos = 0;
    while (pos < n) {
        size_t mark = findAddressMark(s, n, pos);
        if (mark == n) {
            if (copyBare) m_line.appendN(s + pos, n - pos);
            else writeWords(s + pos, n - pos);
            return;
        }
        uint32_t before = m_line.getSize();
        size_t a = pos, b = mark;
        while (a < b && (s[a] == ' ' || s[a] == '\t')) m_line.appendChar(s[a++]);
        size_t tail = b;
        while (tail > a && (s[tail - 1] == ' ' || s[tail - 1] == '\t')) --tail;
        if (is7bit(s + a, tail - a)) {
            m_line.appendN(s + a, tail - a);
        } else {
            StringBuffer name;
            MimeField::unquote(s + a, tail - a, name);
            writeWords(name.getString(), name.getSize());
        }
        m_line.appendN(s + tail, b - tail);
        if (m_line.getSize() - before > 40) fold();
        size_t end = mark;
        if (s[mark] == '<') {
            const char* gt = static_cast<const char*>(std::memchr(s + mark, '>', n - mark));
            end = gt ? static_cast<size_t>(gt - s) + 1 : n;
        } else {
            while (end < n && s[end] != ',' && s[end] != ' ') ++end;
        }
        while (end < n && (s[end] == ' ' || s[end] == ',')) ++end;
        m_line.appendN(s + mark, end - mark);
        pos = end;
    }
}

bool convertFromUtf8(uint32_t cp, const StringBuffer& v, DataBuffer& out) {
    EncodingConvert conv;
    LogNull quiet;
    out.clear();
    return conv.convert(65001, cp, v.getString(), v.getSize(), out, quiet) && !out.isEmpty();
}

void charsetName(uint32_t cp, StringBuffer& out) {
    if (cp == 0 || !Charset::nameOfCodePage(cp, out)) out.setString("utf-8");
}

void writeAs(const MimeField& f, uint32_t cp, const char* data, size_t n, bool useB, StringBuffer& line) {
    StringBuffer name;
    charsetName(cp, name);
    WordWriter(f, cp, name.getString(), useB, line).writeValue(data, n);
}

// Q words in the code page, else ISO-8859-2 for Western code pages, else
// UTF-8, else the raw value.
void encodeQ(const MimeField& f, uint32_t cp, StringBuffer& line) {
    const StringBuffer& v = f.value();
    DataBuffer conv;
    if (convertFromUtf8(cp, v, conv)) {
        writeAs(f, cp, reinterpret_cast<const char*>(conv.getData()), conv.getSize(), false, line);
        return;
    }
    if ((cp == 28591 || cp == 1252) && convertFromUtf8(28592, v, conv)) {
        writeAs(f, 28592, reinterpret_cast<const char*>(conv.getData()), conv.getSize(), false, line);
        return;
    }
    uint32_t before = line.getSize();
    writeAs(f, 65001, v.getString(), v.getSize(), false, line);
    if (line.getSize() == before) line.append(v);
}

void encodeB(const MimeField& f, uint32_t cp, StringBuffer& line) {
    const StringBuffer& v = f.value();
    if (cp == 50225 && v.is7bit()) {
        line.append(v);
        return;
    }
    DataBuffer conv;
    bool ok;
    if (cp == 1200 || cp == 1201) ok = conv.append(v.getString(), v.getSize());
    else ok = convertFromUtf8(cp, v, conv);
    if (ok) {
        writeAs(f, cp, reinterpret_cast<const char*>(conv.getData()), conv.getSize(), true, line);
        return;
    }
    uint32_t before = line.getSize();
    writeAs(f, 65001, v.getString(), v.getSize(), true, line);
    if (line.getSize() == before) line.append(v);
}

}  // namespace

bool HeaderEncoder::usesBWords(uint32_t cp) {
    switch (cp) {
        case 932: case 936: case 949: case 950: case 52936: case 874:
        case 1361: case 1200: case 1201: case 28596: case 1256:
            return true;
        default:
            return cp >= 50001 && cp <= 64999;
    }
}

void HeaderEncoder::foldPlain(const char* s, size_t n, uint32_t counter, bool noFold, StringBuffer& out) {
    bool longList = n > 60 && std::memchr(s, '@', n) && std::memchr(s, ',', n);
    bool inQuotes = false;
    size_t runStart = 0;
    for (size_t i = 0, next; i < n; i = next) {
        char c = s[i];
        next = MimeField::stepQuoted(s, n, i, inQuotes);
        counter += static_cast<uint32_t>(next - i);
        if (noFold || inQuotes) continue;
        bool fold = (c == ';' && counter >= 21 && (next >= n || s[next] != '>')) ||
                    (c == ',' && counter >= 21 && longList);
        if (!fold) continue;
        out.appendN(s + runStart, next - runStart);
        out.append("\r\n\t");
        runStart = next;
        counter = 0;
    }
    out.appendN(s + runStart, n - runStart);
}

void HeaderEncoder::encodeValue(const MimeField& field, uint32_t cp, StringBuffer& line, LogBase& log) {
    (void)log;
    const StringBuffer& v = field.value();
    if (!usesBWords(cp)) {
        if (v.is7bit() || cp == 20127) {
            foldPlain(v.getString(), v.getSize(), line.getSize(), field.noFold(), line);
        } else {
            encodeQ(field, cp, line);
        }
        return;
    }
    encodeB(field, cp, line);
}

}  // namespace ostmail
