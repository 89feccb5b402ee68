#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace ostmail {

namespace platform {
class Sha256;
}

// Body canonicalisation of RFC 6376 section 3.4.3 (simple) and 3.4.4
// (relaxed), fed in pieces of any size and hashed as it goes, so that no
// canonical copy of the body is ever held. Lines end in CRLF; a lone CR or
// LF is an ordinary byte.
class DkimBodyCanon {
public:
    DkimBodyCanon(bool relaxed, platform::Sha256& hash) : m_relaxed(relaxed), m_hash(hash) {}
    DkimBodyCanon(const DkimBodyCanon&) = delete;
    DkimBodyCanon& operator=(const DkimBodyCanon&) = delete;

    void update(const char* data, size_t n);
    // Ends the body: trailing empty lines dropped, the last line closed.
    void finish();

private:
    void content(char c);
    void endLine();
    void emit(const char* s, size_t n);
    void flush();

    bool m_relaxed;
    platform::Sha256& m_hash;
    bool m_cr = false;           // a CR waits for its LF
    bool m_space = false;        // relaxed: white space waits for more text on the line
    bool m_lineHasText = false;
    bool m_anyOutput = false;
    uint64_t m_emptyLines = 0;   // held back until text follows them
    char m_out[8192];
    size_t m_outLen = 0;
};

// Header canonicalisation (RFC 6376 section 3.4.2): the relaxed form of one
// field (name, colon, value, CRLF included or not), appended to out with CRLF.
void dkimRelaxedHeader(const char* field, size_t n, std::string& out);

}  // namespace ostmail
