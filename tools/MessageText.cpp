#include "MessageText.h"

#include "platform/Clock.h"
#include "platform/SysInfo.h"

#include <cstdio>
#include <strings.h>

namespace ostmail {
namespace cli {

namespace {

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(pos, end - pos);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        pos = end + 1;
    }
    return lines;
}

std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return "";
    return s.substr(b, s.find_last_not_of(" \t\r\n") - b + 1);
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

}  // namespace

std::vector<std::string> addressesIn(const std::string& value) {
    std::vector<std::string> out;
    std::string item;
    bool quoted = false;
    int angle = 0;
    auto flush = [&] {
        std::string a = trim(item);
        size_t lt = a.rfind('<');
        if (lt != std::string::npos) a = trim(a.substr(lt + 1, a.find('>', lt) - lt - 1));
        if (a.find('@') != std::string::npos || (!a.empty() && lt != std::string::npos)) out.push_back(a);
        else if (!a.empty() && a.find(' ') == std::string::npos) out.push_back(a);
        item.clear();
    };
    for (char c : value) {
        if (c == '"') quoted = !quoted;
        if (!quoted && c == '<') ++angle;
        if (!quoted && c == '>' && angle > 0) --angle;
        if (!quoted && angle == 0 && c == ',') flush();
        else item += c;
    }
    flush();
    return out;
}

bool MessageText::parse(const std::string& text, bool ignoreDots, std::string& error) {
    if (text.find('\0') != std::string::npos) return error = "the message holds NUL bytes", false;
    std::vector<std::string> lines = splitLines(text);
    size_t i = 0;
    for (; i < lines.size() && !lines[i].empty(); ++i) {
        const std::string& line = lines[i];
        if (!ignoreDots && line == ".") break;
        if (line.size() > 998) return error = "line " + std::to_string(i + 1) + " is over 998 bytes", false;
        if ((line[0] == ' ' || line[0] == '\t') && !m_fields.empty()) {
            m_fields.back().text += line + "\r\n";
            continue;
        }
        size_t colon = line.find(':');
        if (colon == 0 || colon == std::string::npos || line.find_first_of(" \t") < colon)
            return error = "header line " + std::to_string(i + 1) + " has no colon", false;
        m_fields.push_back({line.substr(0, colon), line + "\r\n"});
    }
    if (m_fields.empty()) return error = "no message on standard input", false;
    for (++i; i < lines.size(); ++i) {
        if (!ignoreDots && lines[i] == ".") break;
        if (lines[i].size() > 998) return error = "line " + std::to_string(i + 1) + " is over 998 bytes", false;
        m_body += lines[i] + "\r\n";
    }
    return true;
}

const MessageText::Field* MessageText::find(const char* name) const {
    for (const Field& f : m_fields)
        if (strcasecmp(f.name.c_str(), name) == 0) return &f;
    return nullptr;
}

std::vector<std::string> MessageText::takeHeaderRecipients() {
    std::vector<std::string> out;
    std::vector<Field> kept;
    for (const Field& f : m_fields) {
        bool bcc = strcasecmp(f.name.c_str(), "Bcc") == 0;
        if (bcc || strcasecmp(f.name.c_str(), "To") == 0 || strcasecmp(f.name.c_str(), "Cc") == 0)
            for (const std::string& a : addressesIn(f.text.substr(f.name.size() + 1))) out.push_back(a);
        if (!bcc) kept.push_back(f);
    }
    m_fields.swap(kept);
    return out;
}

void MessageText::addMissing(const std::string& fromName, const std::string& fromAddress, const std::string& host) {
    if (!find("From")) {
        std::string v = fromName.empty() ? fromAddress : "\"" + fromName + "\" <" + fromAddress + ">";
        m_fields.insert(m_fields.begin(), {"From", "From: " + v + "\r\n"});
    }
    if (!find("Message-ID")) m_fields.insert(m_fields.begin(), {"Message-ID", "Message-ID: " + messageId(host) + "\r\n"});
    if (!find("Date")) m_fields.insert(m_fields.begin(), {"Date", "Date: " + dateNow() + "\r\n"});
}

std::string MessageText::fromAddress() const {
    const Field* f = find("From");
    if (!f) return "";
    std::vector<std::string> a = addressesIn(f->text.substr(f->name.size() + 1));
    return a.empty() ? "" : a[0];
}

std::string MessageText::render() const {
    std::string out;
    for (const Field& f : m_fields) out += f.text;
    return out + "\r\n" + m_body;
}

}  // namespace cli
}  // namespace ostmail
