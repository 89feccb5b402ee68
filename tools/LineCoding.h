#pragma once
#include <string>

namespace ostmail {
namespace cli {

// The longest line SMTP carries, without its CRLF (RFC 5321 section 4.5.3.1.6).
const size_t kMaxLine = 998;

// One header field (CRLF after every line) with each line over kMaxLine
// folded before white space. False when a line has no white space to fold at.
bool foldField(std::string& field);

// Text with CRLF line ends as quoted-printable (RFC 2045 section 6.7): line
// ends kept as they are, every other byte that is not plain text encoded.
std::string quotedPrintable(const std::string& text);

// Bytes as base64 in lines of 76 characters, CRLF after each.
std::string base64Lines(const std::string& bytes);

// True for text whose bytes are valid UTF-8 (plain ASCII included).
bool isUtf8(const std::string& text);

}  // namespace cli
}  // namespace ostmail
