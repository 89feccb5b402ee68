#pragma once
#include "core/StringBuffer.h"

#include <cstdint>

namespace ostmail {

// What an EHLO reply announced. The flags only ever go up as replies come
// in; the forced-method rules of a connect are the one thing that lowers them.
struct SmtpCapabilities {
    bool cramMd5 = false;
    bool anonymous = false;
    bool plain = false;
    bool login = false;
    bool digestMd5 = false;
    bool gssapi = false;
    bool kerberosV4 = false;
    bool ntlm = false;
    bool msn = false;
    bool dsn = false;
    bool xoauth2 = false;      // token mechanisms: only ever run when asked for by name
    bool oauthBearer = false;
    // RFC 2920; unlike the others, it holds for the last EHLO reply only.
    bool pipelining = false;
    bool smtputf8 = false;  // RFC 6531; the last EHLO reply's, as pipelining

    // text: one EHLO line after its first four bytes ("250-" / "250 ").
    void applyEhloText(const char* text);
    // Forced method (upper case): LOGIN, PLAIN, CRAM-MD5, NTLM and MSN keep
    // only their own flag, NONE clears all; anything else leaves the flags.
    void force(const StringBuffer& method);
    bool anyAuth() const;
};

// Line-level rules of the protocol, free of any connection so that tests can
// feed them directly.
class SmtpProtocol {
public:
    // Longest command the sender formats; longer ones are cut.
    static constexpr uint32_t kMaxCommand = 1999;
    // Bytes of one write that the transcript keeps.
    static constexpr uint32_t kTranscriptMax = 2500;

    // The reply code of a line: its first three bytes when all are digits,
    // else -2.
    static int replyCode(const StringBuffer& line);
    // The line without its trailing CR and LF bytes.
    static uint32_t contentLength(const StringBuffer& line);
    // A multi-line reply goes on after a line whose fourth byte is '-'.
    static bool isContinuation(const StringBuffer& line);
    // EHLO lines end only at a line whose fourth byte is a space.
    static bool isLastEhloLine(const StringBuffer& line);
    // Whether the text after the code begins with "DSN".
    static bool announcesDsn(const StringBuffer& line);

    // Appends a value to a command. CR, LF and NUL are left out, so no
    // address or property can end the command early and start another.
    static void appendArg(StringBuffer& cmd, const char* value);
    // Cuts a formatted command to kMaxCommand bytes.
    static void limitCommand(StringBuffer& cmd);

    // RFC 5321 4.5.2: a line that starts with a dot, the first one
    // included, gets a second dot.
    static void dotStuff(StringBuffer& body);

    // Most a transcript holds: a connection reused for months would
    // otherwise keep every exchange it ever had.
    static constexpr uint32_t kTranscriptKeep = 256u << 10;

    // What a write adds to the transcript: at most kTranscriptMax bytes,
    // followed by "\n...\n" when the data was longer. Then bounded.
    static void recordWrite(StringBuffer& transcript, const char* data, uint32_t n);

    // A reply line read, appended to the transcript and bounded.
    static void recordRead(StringBuffer& transcript, const StringBuffer& line);

    // Past kTranscriptKeep, drops the oldest lines so that about half of
    // it is left, starting at a line start (mid-line only when the newest
    // half holds no line end).
    static void boundTranscript(StringBuffer& transcript);
};

}  // namespace ostmail
