#include "smtp/SmtpProtocol.h"

#include <cstring>
#include <strings.h>

#include <vector>

namespace ostmail {

namespace {

bool hasNoCase(const char* text, const char* word) {
    size_t n = std::strlen(word);
    for (const char* p = text; *p; ++p)
        if (strncasecmp(p, word, n) == 0) return true;
    return false;
}

}  // namespace

void SmtpCapabilities::applyEhloText(const char* text) {
    if (!text) return;
    if (strncasecmp(text, "DSN", 3) == 0) {
        dsn = true;
        return;
    }
    if (strcasecmp(text, "PIPELINING") == 0) {
        pipelining = true;
        return;
    }
    if (strcasecmp(text, "SMTPUTF8") == 0) {
        smtputf8 = true;
        return;
    }
    if (strncasecmp(text, "AUTH ", 5) != 0 && strncasecmp(text, "AUTH=", 5) != 0) return;
    // A mechanism counts only after a space (or '=' for LOGIN), as servers
    // have always been read here.
    if (hasNoCase(text, " LOGIN") || hasNoCase(text, "=LOGIN")) login = true;
    if (hasNoCase(text, " NTLM")) ntlm = true;
    if (hasNoCase(text, " MSN")) msn = true;
    if (hasNoCase(text, " GSSAPI")) gssapi = true;
    if (hasNoCase(text, " ANONYMOUS")) anonymous = true;
    if (hasNoCase(text, " PLAIN")) plain = true;
    if (hasNoCase(text, " CRAM-MD5")) cramMd5 = true;
    if (hasNoCase(text, " DIGEST-MD5")) digestMd5 = true;
    if (hasNoCase(text, " KERBEROS_V4")) kerberosV4 = true;
    if (hasNoCase(text, " XOAUTH2")) xoauth2 = true;
    if (hasNoCase(text, " OAUTHBEARER")) oauthBearer = true;
}

void SmtpCapabilities::force(const StringBuffer& method) {
    bool* only = nullptr;
    if (method.equals("LOGIN"))
        only = &login;
    else if (method.equals("PLAIN"))
        only = &plain;
    else if (method.equals("CRAM-MD5"))
        only = &cramMd5;
    else if (method.equals("NTLM"))
        only = &ntlm;
    else if (method.equals("MSN"))
        only = &msn;
    else if (!method.equals("NONE"))
        return;
    bool keepDsn = dsn, keepPipelining = pipelining, keepUtf8 = smtputf8;
    *this = SmtpCapabilities();
    dsn = keepDsn;
    pipelining = keepPipelining;
    smtputf8 = keepUtf8;
    if (only) *only = true;
}

bool SmtpCapabilities::anyAuth() const {
    return cramMd5 || anonymous || plain || login || digestMd5 || gssapi || kerberosV4 || ntlm || msn;
}

int SmtpProtocol::replyCode(const StringBuffer& line) {
    if (line.getSize() < 3) return -2;
    const char* s = line.getString();
    int code = 0;
    for (int i = 0; i < 3; ++i) {
        if (s[i] < '0' || s[i] > '9') return -2;
        code = code * 10 + (s[i] - '0');
    }
    return code;
}

uint32_t SmtpProtocol::contentLength(const StringBuffer& line) {
    uint32_t n = line.getSize();
    const char* s = line.getString();
    while (n > 0 && (s[n - 1] == '\n' || s[n - 1] == '\r')) --n;
    return n;
}

bool SmtpProtocol::isContinuation(const StringBuffer& line) {
    return line.getSize() >= 4 && line.getString()[3] == '-';
}

bool SmtpProtocol::isLastEhloLine(const StringBuffer& line) {
    return line.getSize() >= 4 && line.getString()[3] == ' ';
}

bool SmtpProtocol::announcesDsn(const StringBuffer& line) {
    return line.getSize() >= 7 && strncasecmp(line.getString() + 4, "DSN", 3) == 0;
}

void SmtpProtocol::appendArg(StringBuffer& cmd, const char* value) {
    if (!value) return;
    const char* run = value;
    for (const char* p = value;; ++p) {
        if (*p == '\r' || *p == '\n' || *p == '\0') {
            cmd.appendN(run, static_cast<size_t>(p - run));
            if (*p == '\0') return;
            run = p + 1;
        }
    }
}

void SmtpProtocol::limitCommand(StringBuffer& cmd) {
    if (cmd.getSize() > kMaxCommand) cmd.truncateTo(kMaxCommand);
}

// In place: the buffer grows by one byte per stuffed dot and the text moves
// up from the back, so a large body is never held twice.
void SmtpProtocol::dotStuff(StringBuffer& body) {
    const uint32_t n = body.getSize();
    const char* s = body.getString();
    const char* end = s + n;
    std::vector<uint32_t> dotAt;  // offsets of the dots that need a twin
    // The first line too: a text handed over whole may start with a dot.
    if (n > 0 && s[0] == '.') dotAt.push_back(0);
    for (const char* p = s; (p = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p))));)
        if (++p < end && *p == '.') dotAt.push_back(static_cast<uint32_t>(p - s));
    if (dotAt.empty() || !body.appendCharN('.', dotAt.size())) return;
    char* b = body.getMutable();
    uint32_t src = n;
    uint32_t dst = n + static_cast<uint32_t>(dotAt.size());
    for (auto it = dotAt.rbegin(); it != dotAt.rend(); ++it) {
        uint32_t len = src - *it;
        dst -= len;
        std::memmove(b + dst, b + *it, len);
        b[--dst] = '.';
        src = *it;
    }
}

void SmtpProtocol::recordWrite(StringBuffer& transcript, const char* data, uint32_t n) {
    transcript.appendN(data, n <= kTranscriptMax ? n : kTranscriptMax);
    if (n > kTranscriptMax) transcript.append("\n...\n");
    boundTranscript(transcript);
}

void SmtpProtocol::recordRead(StringBuffer& transcript, const StringBuffer& line) {
    transcript.append(line);
    boundTranscript(transcript);
}

void SmtpProtocol::boundTranscript(StringBuffer& transcript) {
    const uint32_t size = transcript.getSize();
    if (size <= kTranscriptKeep) return;
    uint32_t cut = size - kTranscriptKeep / 2;
    const char* text = transcript.getString();
    const void* lf = std::memchr(text + cut, '\n', size - cut);
    if (lf) cut = static_cast<uint32_t>(static_cast<const char*>(lf) - text) + 1;
    transcript.setString(text + cut, size - cut);  // may point into itself
}

}  // namespace ostmail
