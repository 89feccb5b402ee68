#include "email/MailboxSyntax.h"

#include <cctype>
#include <cstring>

namespace ostmail {

namespace {

bool isAtext(unsigned char c) {
    if (c >= 0x80) return true;  // UTF-8, RFC 6532 section 3.2
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    return c && std::strchr("!#$%&'*+-/=?^_`{|}~", c) != nullptr;
}

bool isSpace(char c) { return c == ' ' || c == '\t'; }

std::string trimmed(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && isSpace(s[b])) ++b;
    while (e > b && isSpace(s[e - 1])) --e;
    return s.substr(b, e - b);
}

// End of the quoted string starting at s[i] == '"' (one past its closing
// quote), or npos when it is not closed. content gets it unescaped.
size_t quotedEnd(const std::string& s, size_t i, std::string& content) {
    for (size_t k = i + 1; k < s.size(); ++k) {
        if (s[k] == '\\' && k + 1 < s.size()) {
            content.push_back(s[++k]);
        } else if (s[k] == '"') {
            return k + 1;
        } else {
            content.push_back(s[k]);
        }
    }
    return std::string::npos;
}

bool checkDotAtom(const std::string& s, const char* where, std::string& reason) {
    if (s.front() == '.' || s.back() == '.' || s.find("..") != std::string::npos) {
        reason = std::string("misplaced dot ") + where;
        return false;
    }
    for (char c : s) {
        if (c != '.' && !isAtext(static_cast<unsigned char>(c))) {
            reason = std::string("'") + c + "' is not allowed " + where;
            return false;
        }
    }
    return true;
}

bool checkDomain(const std::string& d, std::string& reason) {
    if (d.front() == '[') {
        bool ok = d.size() > 2 && d.back() == ']';
        for (size_t i = 1; ok && i + 1 < d.size(); ++i) ok = d[i] > 32 && d[i] < 127 && !std::strchr("[]\\", d[i]);
        if (!ok) reason = "malformed address literal after the @";
        return ok;
    }
    size_t start = 0;
    for (;;) {
        size_t dot = d.find('.', start);
        std::string label = d.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
        if (label.empty()) {
            reason = "empty label in the domain";
            return false;
        }
        if (label.size() > 63 || label.front() == '-' || label.back() == '-') {
            reason = "bad domain label \"" + label + "\"";
            return false;
        }
        for (char c : label) {
            auto u = static_cast<unsigned char>(c);
            if (u < 0x80 && !std::isalnum(u) && c != '-') {
                reason = c == '@' ? "more than one @" : std::string("'") + c + "' is not allowed in the domain";
                return false;
            }
        }
        if (dot == std::string::npos) return true;
        start = dot + 1;
    }
}

// A display name: words (atoms, dots, quoted strings) separated by spaces.
bool parsePhrase(const std::string& s, std::string& name, std::string& reason) {
    for (size_t i = 0; i < s.size();) {
        if (isSpace(s[i])) {
            ++i;
            continue;
        }
        if (!name.empty()) name.push_back(' ');
        if (s[i] == '"') {
            i = quotedEnd(s, i, name);
            if (i == std::string::npos) {
                reason = "unclosed quote in the name";
                return false;
            }
            continue;
        }
        for (; i < s.size() && !isSpace(s[i]) && s[i] != '"'; ++i) {
            if (s[i] != '.' && !isAtext(static_cast<unsigned char>(s[i]))) {
                reason = std::string("'") + s[i] + "' in the name needs quotes";
                return false;
            }
            name.push_back(s[i]);
        }
    }
    return true;
}

}  // namespace

bool MailboxSyntax::checkAddress(const std::string& a, std::string& reason) {
    if (a.empty()) {
        reason = "empty address";
        return false;
    }
    size_t at;
    if (a[0] == '"') {
        std::string content;
        at = quotedEnd(a, 0, content);
        if (at == std::string::npos || at >= a.size() || a[at] != '@') {
            reason = "bad quoted part before the @";
            return false;
        }
    } else {
        at = a.find('@');
        if (at == std::string::npos) {
            reason = "no @ in it";
            return false;
        }
        if (at == 0) {
            reason = "nothing before the @";
            return false;
        }
        if (!checkDotAtom(a.substr(0, at), "before the @", reason)) return false;
    }
    if (at + 1 >= a.size()) {
        reason = "nothing after the @";
        return false;
    }
    if (at > 64 || a.size() > 254) {
        reason = "too long";
        return false;
    }
    return checkDomain(a.substr(at + 1), reason);
}

bool MailboxSyntax::parse(const std::string& text, Mailbox& out, std::string& reason) {
    out = Mailbox();
    for (char c : text) {
        if (static_cast<unsigned char>(c) < 32 && c != '\t') {
            reason = "control character in it";
            return false;
        }
    }
    const std::string s = trimmed(text);
    size_t lt = std::string::npos;
    std::string ignored;
    for (size_t i = 0; i < s.size() && lt == std::string::npos; ++i) {
        if (s[i] == '"') {
            i = quotedEnd(s, i, ignored);
            if (i == std::string::npos) break;
            --i;
        } else if (s[i] == '<') {
            lt = i;
        }
    }
    if (lt == std::string::npos) {
        out.address = s;
        return checkAddress(s, reason);
    }
    size_t gt = s.find('>', lt);
    if (gt == std::string::npos || gt != s.size() - 1) {
        reason = gt == std::string::npos ? "no closing >" : "text after the >";
        return false;
    }
    out.address = s.substr(lt + 1, gt - lt - 1);
    return parsePhrase(s.substr(0, lt), out.name, reason) && checkAddress(out.address, reason);
}

bool MailboxSyntax::parseList(const std::string& text, std::vector<Mailbox>& out, std::string& reason) {
    out.clear();
    size_t start = 0;
    bool quoted = false, angled = false;
    for (size_t i = 0; i <= text.size(); ++i) {
        char c = i < text.size() ? text[i] : ',';
        if (quoted) {
            if (c == '\\') ++i;
            else if (c == '"') quoted = false;
            if (i < text.size()) continue;
        }
        if (c == '"') quoted = true;
        if (c == '<') angled = true;
        if (c == '>') angled = false;
        if (c != ',' || (angled && i < text.size())) continue;
        std::string item = text.substr(start, i - start);
        start = i + 1;
        Mailbox m;
        if (!parse(item, m, reason)) {
            reason = "\"" + trimmed(item) + "\": " + reason;
            return false;
        }
        out.push_back(std::move(m));
    }
    return true;
}

}  // namespace ostmail
