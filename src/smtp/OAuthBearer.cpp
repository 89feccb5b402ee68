#include "smtp/OAuthBearer.h"

#include "core/StringBuffer.h"

#include <cstring>

namespace ostmail {

namespace {

// A small reader of one JSON value (RFC 8259), enough to pick string
// members out of a flat error object; nested values are skipped whole.
class JsonReader {
public:
    JsonReader(const char* text, size_t n) : m_p(text), m_end(text + n) {}

    void skipSpace() {
        while (m_p < m_end && (*m_p == ' ' || *m_p == '\t' || *m_p == '\r' || *m_p == '\n')) ++m_p;
    }
    bool take(char c) {
        skipSpace();
        if (m_p >= m_end || *m_p != c) return false;
        ++m_p;
        return true;
    }
    bool atEnd() {
        skipSpace();
        return m_p == m_end;
    }

    bool string(std::string& out) {
        if (!take('"')) return false;
        out.clear();
        while (m_p < m_end && *m_p != '"') {
            char c = *m_p++;
            if (static_cast<unsigned char>(c) < 0x20) return false;
            if (c == '\\') {
                if (m_p >= m_end) return false;
                c = *m_p++;
                static const char kFrom[] = "\"\\/bfnrt", kTo[] = "\"\\/\b\f\n\r\t";
                const char* at = std::strchr(kFrom, c);
                if (c == 'u') {
                    if (m_end - m_p < 4) return false;
                    out.append("\\u").append(m_p, 4);  // kept as written: only shown in the log
                    m_p += 4;
                    continue;
                }
                if (!at || !c) return false;
                c = kTo[at - kFrom];
            }
            out.push_back(c);
        }
        return take('"');
    }

    // Any value; a string's text, or the value as written, goes to out.
    bool value(std::string& out, int depth = 0) {
        skipSpace();
        if (m_p >= m_end || depth > 32) return false;
        if (*m_p == '"') return string(out);
        const char* start = m_p;
        if (*m_p == '{' || *m_p == '[') {
            char close = *m_p == '{' ? '}' : ']';
            bool object = close == '}';
            ++m_p;
            if (!take(close)) {
                do {
                    std::string ignored;
                    if (object && !(string(ignored) && take(':'))) return false;
                    if (!value(ignored, depth + 1)) return false;
                } while (take(','));
                if (!take(close)) return false;
            }
        } else {
            while (m_p < m_end && std::strchr("+-.0123456789eEtruefalsn", *m_p)) ++m_p;
            if (m_p == start) return false;
        }
        out.assign(start, m_p);
        return true;
    }

private:
    const char* m_p;
    const char* m_end;
};

void appendSaslName(const char* user, StringBuffer& out) {
    for (const char* c = user; *c; ++c) {
        if (*c == ',') out.append("=2C");
        else if (*c == '=') out.append("=3D");
        else out.appendChar(*c);
    }
}

}  // namespace

bool OAuthBearer::tokenUsable(const char* token) {
    return token && *token && !std::strpbrk(token, "\r\n\x01");
}

void OAuthBearer::xoauth2Message(const char* user, const char* token, StringBuffer& out) {
    out.append("user=");
    out.append(user);
    out.append("\x01" "auth=Bearer ");
    out.append(token);
    out.append("\x01\x01");
}

void OAuthBearer::oauthBearerMessage(const char* user, const char* host, int port, const char* token,
                                     StringBuffer& out) {
    out.append("n,a=");
    appendSaslName(user, out);
    out.append(",\x01" "host=");
    out.append(host);
    out.append("\x01" "port=");
    out.appendInt(port);
    out.append("\x01" "auth=Bearer ");
    out.append(token);
    out.append("\x01\x01");
}

bool OAuthBearer::parseServerError(const char* text, size_t n, ServerError& out) {
    JsonReader json(text, n);
    ServerError found;
    if (!json.take('{')) return false;
    if (!json.take('}')) {
        do {
            std::string key, value;
            if (!json.string(key) || !json.take(':') || !json.value(value)) return false;
            if (key == "status") found.status = value;
            else if (key == "schemes") found.schemes = value;
            else if (key == "scope") found.scope = value;
        } while (json.take(','));
        if (!json.take('}')) return false;
    }
    if (!json.atEnd()) return false;
    out = found;
    return true;
}

}  // namespace ostmail
