#include "MessageText.h"

#include "LineCoding.h"
#include "platform/Clock.h"
#include "platform/SysInfo.h"

#include <cstdio>
#include <cstring>
#include <strings.h>

namespace ostmail {
namespace cli {

namespace {

struct Line {
    std::string text;
    bool newline;  // the input had a line end after it
};

std::vector<Line> splitLines(const std::string& text) {
    std::vector<Line> lines;
    for (size_t pos = 0; pos < text.size();) {
        size_t end = text.find('\n', pos);
        bool nl = end != std::string::npos;
        if (!nl) end = text.size();
        std::string line = text.substr(pos, end - pos);
        if (nl && !line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back({line, nl});
        pos = end + 1;
    }
    return lines;
}

// "Name:" or the obsolete "Name :" (RFC 5322 section 4.5); the name, or "".
std::string fieldName(const std::string& line) {
    size_t colon = line.find(':');
    if (colon == 0 || colon == std::string::npos) return "";
    size_t end = line.find_last_not_of(" \t", colon - 1);
    if (end == std::string::npos) return "";
    for (size_t i = 0; i <= end; ++i)
        if (line[i] < '!' || line[i] > '~') return "";
    return line.substr(0, end + 1);
}

std::string dateNow() {
    static const char* days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    platform::LocalTime t = platform::localNow();
    int off = t.gmtOffsetMinutes < 0 ? -t.gmtOffsetMinutes : t.gmtOffsetMinutes;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s, %d %s %04d %02d:%02d:%02d %c%02d%02d", days[t.weekday % 7], t.day,
                  months[(t.month + 11) % 12], t.year, t.hour, t.minute, t.second,
                  t.gmtOffsetMinutes < 0 ? '-' : '+', off / 60, off % 60);
    return buf;
}

std::string messageId(const std::string& host) {
    unsigned char r[8] = {};
    platform::systemRandom(r, sizeof r);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02x%02x%02x%02x%02x%02x%02x%02x", r[0], r[1], r[2], r[3], r[4], r[5],
                  r[6], r[7]);
    return "<" + std::to_string(platform::unixTimeNow()) + "." + buf + "@" + host + ">";
}

std::string trimmed(const std::string& s) {
    size_t b = s.find_first_not_of(" \t");
    return b == std::string::npos ? "" : s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

bool startsNoCase(const std::string& s, const char* prefix) {
    return strncasecmp(s.c_str(), prefix, std::strlen(prefix)) == 0;
}

}  // namespace

bool MessageText::parse(const std::string& text, bool ignoreDots, std::string& error) {
    std::vector<Line> lines = splitLines(text);
    if (!ignoreDots)
        for (size_t i = 0; i < lines.size(); ++i)
            if (lines[i].text == ".") lines.resize(i);
    if (lines.empty()) return error = "no message on standard input", false;
    size_t i = lines[0].text.rfind("From ", 0) == 0 ? 1 : 0;
    for (; i < lines.size(); ++i) {
        const std::string& line = lines[i].text;
        if ((line[0] == ' ' || line[0] == '\t') && !m_fields.empty()) {
            m_fields.back().text += line + "\r\n";
            continue;
        }
        std::string name = line.empty() ? "" : fieldName(line);
        if (name.empty()) break;
        m_fields.push_back({name, line + "\r\n"});
    }
    if (i < lines.size() && lines[i].text.empty()) ++i;  // the blank line after the header
    for (; i < lines.size(); ++i) m_body += lines[i].text + (lines[i].newline ? "\r\n" : "");
    return true;
}

const MessageText::Field* MessageText::find(const char* name) const {
    for (const Field& f : m_fields)
        if (strcasecmp(f.name.c_str(), name) == 0) return &f;
    return nullptr;
}

void MessageText::removeField(const char* name) {
    std::vector<Field> kept;
    for (const Field& f : m_fields)
        if (strcasecmp(f.name.c_str(), name) != 0) kept.push_back(f);
    m_fields.swap(kept);
}

std::string MessageText::fieldValue(const char* name) const {
    const Field* f = find(name);
    if (!f) return "";
    std::string v = f->text.substr(f->text.find(':') + 1), out;
    for (char c : v)
        if (c != '\r' && c != '\n') out += c;
    return out;
}

std::vector<std::string> MessageText::recipientFields() const {
    bool resent = find("Resent-To") || find("Resent-Cc") || find("Resent-Bcc");
    static const char* const plain[] = {"To", "Cc", "Bcc"};
    std::vector<std::string> out;
    for (const Field& f : m_fields)
        for (const char* n : plain)
            if (strcasecmp(f.name.c_str(), resent ? (std::string("Resent-") + n).c_str() : n) == 0)
                out.push_back(f.name + ":" + f.text.substr(f.text.find(':') + 1));
    return out;
}

void MessageText::removeBlindCopies() {
    removeField("Bcc");
    removeField("Resent-Bcc");
}

void MessageText::addMissing(const std::string& from, const std::string& host) {
    auto add = [this](const char* name, const std::string& value) {
        if (!find(name)) m_fields.insert(m_fields.begin(), {name, std::string(name) + ": " + value + "\r\n"});
    };
    add("From", from);
    add("Message-ID", messageId(host));
    add("Date", dateNow());
}

bool MessageText::bodyNeedsEncoding() const {
    if (m_body.find('\0') != std::string::npos) return true;
    for (size_t pos = 0; pos < m_body.size();) {
        size_t end = m_body.find("\r\n", pos);
        if (end == std::string::npos) end = m_body.size();
        if (end - pos > kMaxLine) return true;
        pos = end + 2;
    }
    return false;
}

std::string MessageText::makeSendable() {
    std::string warning;
    for (Field& f : m_fields)
        if (!foldField(f.text)) warning = "the " + f.name + " field has a line over 998 bytes with no blank to fold at";
    if (!bodyNeedsEncoding()) return warning;
    std::string type = trimmed(fieldValue("Content-Type")), coding = trimmed(fieldValue("Content-Transfer-Encoding"));
    // Inside a structure of its own, or already encoded: left as it is.
    if (startsNoCase(type, "multipart/") || startsNoCase(type, "message/") ||
        strcasecmp(coding.c_str(), "quoted-printable") == 0 || strcasecmp(coding.c_str(), "base64") == 0)
        return "the body has lines over 998 bytes or NUL bytes inside its own MIME encoding";
    bool text = type.empty() || startsNoCase(type, "text/");
    removeField("Content-Transfer-Encoding");
    if (!find("MIME-Version")) m_fields.push_back({"MIME-Version", "MIME-Version: 1.0\r\n"});
    if (type.empty())
        m_fields.push_back({"Content-Type", std::string("Content-Type: text/plain; charset=") +
                                                (isUtf8(m_body) ? "utf-8" : "unknown-8bit") + "\r\n"});
    m_fields.push_back({"Content-Transfer-Encoding", std::string("Content-Transfer-Encoding: ") +
                                                         (text ? "quoted-printable" : "base64") + "\r\n"});
    m_body = text ? quotedPrintable(m_body) : base64Lines(m_body);
    return warning;
}

std::string MessageText::render() const {
    std::string out;
    for (const Field& f : m_fields) out += f.text;
    out += "\r\n" + m_body;
    if (out.size() >= 2 && out.compare(out.size() - 2, 2, "\r\n") == 0) out.resize(out.size() - 2);
    return out;
}

}  // namespace cli
}  // namespace ostmail
