#include "email/AddressList.h"

#include "core/ContentCoding.h"
#include "core/StringBuffer.h"

#include <cctype>
#include <cstring>

namespace ostmail {

namespace {

// kind: 'a' atom, 'q' quoted string (text unescaped), 'l' domain literal,
// else the special character itself.
struct Token {
    char kind;
    std::string text;
    bool spaceBefore;
    size_t begin, end;
};

const char kSpecials[] = "<>,:;@.";

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool isAtomChar(char c) {
    return c != '\0' && !isSpace(c) && !std::strchr(kSpecials, c) && !std::strchr("()[]\"\\", c);
}

// A comment, nested comments and quoted pairs included (RFC 5322 3.2.2).
bool skipComment(const std::string& s, size_t& i) {
    int depth = 0;
    for (; i < s.size(); ++i) {
        if (s[i] == '\\') ++i;
        else if (s[i] == '(') ++depth;
        else if (s[i] == ')' && --depth == 0) return ++i, true;
    }
    return false;
}

// The text up to the closing quote or bracket, quoted pairs unescaped and
// folding line breaks dropped.
bool readDelimited(const std::string& s, size_t& i, char close, std::string& out) {
    for (++i; i < s.size(); ++i) {
        char c = s[i];
        if (c == close) return ++i, true;
        if (c == '\\' && i + 1 < s.size()) c = s[++i];
        else if (c == '\r' || c == '\n') continue;
        out += c;
    }
    return false;
}

bool lex(const std::string& s, std::vector<Token>& out, std::string& error) {
    bool space = false;
    for (size_t i = 0; i < s.size();) {
        char c = s[i];
        size_t begin = i;
        if (isSpace(c)) {
            space = true, ++i;
            continue;
        }
        if (c == '(') {
            if (!skipComment(s, i)) return error = "a comment is not closed", false;
            space = true;
            continue;
        }
        Token t{c, "", space, begin, 0};
        if (c == '"' || c == '[') {
            t.kind = c == '"' ? 'q' : 'l';
            if (!readDelimited(s, i, c == '"' ? '"' : ']', t.text))
                return error = c == '"' ? "a quoted string is not closed" : "a '[' is not closed", false;
        } else if (c != '\0' && std::strchr(kSpecials, c)) {
            t.text = std::string(1, c), ++i;
        } else if (isAtomChar(c)) {
            t.kind = 'a';
            while (i < s.size() && isAtomChar(s[i])) t.text += s[i++];
        } else if (static_cast<unsigned char>(c) < ' ') {
            return error = "a control character (" + std::to_string(static_cast<int>(c)) + ") in an address", false;
        } else {
            return error = std::string("unexpected '") + c + "'", false;
        }
        t.end = i;
        out.push_back(t);
        space = false;
    }
    return true;
}

bool isWord(const Token& t) { return t.kind == 'a' || t.kind == 'q'; }

// A quoted local part keeps its quotes only when it needs them.
std::string localWord(const Token& t) {
    if (t.kind == 'a') return t.text;
    bool plain = !t.text.empty();
    for (char c : t.text) plain = plain && isAtomChar(c);
    if (plain) return t.text;
    std::string q = "\"";
    for (char c : t.text) {
        if (c == '"' || c == '\\') q += '\\';
        q += c;
    }
    return q + "\"";
}

// local-part ["@" domain], each a dot-separated run of words. A bare local
// part is taken: the caller qualifies it.
bool bareAddress(const std::vector<Token>& t, size_t b, size_t e, std::string& out) {
    out.clear();
    bool domain = false, wantWord = true;
    for (size_t i = b; i < e; ++i) {
        const Token& k = t[i];
        if (wantWord) {
            bool ok = domain ? (k.kind == 'a' || (k.kind == 'l' && i + 1 == e && t[i - 1].kind == '@'))
                             : isWord(k);
            if (!ok) return false;
            out += k.kind == 'l' ? "[" + k.text + "]" : domain ? k.text : localWord(k);
            wantWord = false;
        } else if (k.kind == '.' || (k.kind == '@' && !domain)) {
            domain = domain || k.kind == '@';
            out += k.kind;
            wantWord = true;
        } else {
            return false;
        }
    }
    return !wantWord;
}

std::string phrase(const std::vector<Token>& t, size_t b, size_t e) {
    std::string name;
    for (size_t i = b; i < e; ++i) name += (i > b && t[i].spaceBefore ? " " : "") + t[i].text;
    return name;
}

class Parser {
public:
    Parser(const std::string& s, const std::vector<Token>& t, std::string& error) : m_s(s), m_t(t), m_error(error) {}

    bool run(std::vector<MailboxAddress>& out) {
        bool inGroup = false;
        while (m_p < m_t.size()) {
            char k = m_t[m_p].kind;
            if (k == ',' || (k == ';' && inGroup)) {
                inGroup = inGroup && k != ';';
                ++m_p;
                continue;
            }
            size_t b = m_p;
            while (m_p < m_t.size() && !std::strchr("<>:,;", m_t[m_p].kind)) ++m_p;
            char next = m_p < m_t.size() ? m_t[m_p].kind : ',';
            if (next == ':') {
                if (inGroup) return fail(b, "a group inside a group");
                inGroup = true, ++m_p;
                continue;
            }
            MailboxAddress box;
            if (next == '<') {
                box.name = phrase(m_t, b, m_p);
                if (!angle(b, box.address)) return false;
            } else if (next == '>' || !bareAddress(m_t, b, m_p, box.address)) {
                return fail(b, "not an address");
            }
            out.push_back(box);
            if (m_p < m_t.size() && !std::strchr(inGroup ? ",;" : ",", m_t[m_p].kind))
                return fail(b, "no ',' after the address");
        }
        return true;
    }

private:
    // "<" [route ":"] local@domain ">", or "<>".
    bool angle(size_t b, std::string& address) {
        size_t open = ++m_p;
        while (m_p < m_t.size() && m_t[m_p].kind != '>') ++m_p;
        if (m_p == m_t.size()) return fail(b, "no '>'");
        size_t close = m_p++;
        if (open < close && m_t[open].kind == '@')
            while (open < close && m_t[open].kind != ':') ++open;
        if (open < close && m_t[open].kind == ':') ++open;
        if (open == close) return address.clear(), true;
        return bareAddress(m_t, open, close, address) || fail(b, "not an address");
    }

    bool fail(size_t b, const char* why) {
        size_t end = m_p < m_t.size() ? m_t[m_p].end : m_s.size();
        if (b >= m_t.size()) b = m_t.size() - 1;
        std::string text = m_s.substr(m_t[b].begin, end - m_t[b].begin);
        text.erase(text.find_last_not_of(" \t\r\n") + 1);
        m_error = std::string(why) + " in '" + text + "'";
        return false;
    }

    const std::string& m_s;
    const std::vector<Token>& m_t;
    std::string& m_error;
    size_t m_p = 0;
};

bool needsQuotes(const std::string& name) {
    for (char c : name)
        if (!isAtomChar(c) && c != ' ' && c != '\t') return true;
    return name.front() == ' ' || name.back() == ' ';
}

// RFC 2047 B words of at most 45 bytes each, cut between UTF-8 characters.
std::string encodedWords(const std::string& name) {
    std::string out;
    for (size_t b = 0; b < name.size();) {
        size_t e = b + 45 < name.size() ? b + 45 : name.size();
        while (e > b + 1 && e < name.size() && (static_cast<unsigned char>(name[e]) & 0xC0) == 0x80) --e;
        StringBuffer word;
        ContentCoding::encodeBase64Flat(name.data() + b, e - b, word);
        out += (out.empty() ? "=?utf-8?B?" : " =?utf-8?B?") + std::string(word.getString()) + "?=";
        b = e;
    }
    return out;
}

}  // namespace

bool AddressList::parse(const std::string& text, std::vector<MailboxAddress>& out, std::string& error) {
    std::vector<Token> tokens;
    std::vector<MailboxAddress> found;
    if (!lex(text, tokens, error) || !Parser(text, tokens, error).run(found)) return false;
    out.insert(out.end(), found.begin(), found.end());
    return true;
}

bool AddressList::sameAddress(const std::string& a, const std::string& b) {
    size_t at = a.rfind('@');
    if (at != b.rfind('@') || a.compare(0, at, b, 0, at) != 0) return false;
    if (at == std::string::npos) return true;
    if (a.size() != b.size()) return false;
    for (size_t i = at; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

bool AddressList::addUnique(std::vector<std::string>& out, const std::string& address) {
    for (const std::string& a : out)
        if (sameAddress(a, address)) return false;
    out.push_back(address);
    return true;
}

std::string AddressList::format(const std::string& name, const std::string& address) {
    if (name.empty()) return address;
    bool eightBit = false;
    for (char c : name) eightBit = eightBit || (static_cast<unsigned char>(c) & 0x80) || c == '\r' || c == '\n';
    std::string shown = name;
    if (eightBit) {
        shown = encodedWords(name);
    } else if (needsQuotes(name)) {
        shown = "\"";
        for (char c : name) shown += (c == '"' || c == '\\') ? std::string("\\") + c : std::string(1, c);
        shown += "\"";
    }
    return shown + " <" + address + ">";
}

}  // namespace ostmail
