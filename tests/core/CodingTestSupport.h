#pragma once
// Helpers for the codec and charset tests. Python's codecs, base64, quopri
// and email.header serve as implementations we did not write.
#include "core/EncodingConvert.h"
#include "core/LogBase.h"
#include "crypto/TestBytes.h"
#include "support/PythonRun.h"

#include <stdexcept>
#include <vector>

namespace ostmail_test {

inline std::string str(const ostmail::StringBuffer& sb) { return std::string(sb.getString(), sb.getSize()); }
inline std::string str(const ostmail::DataBuffer& db) {
    return db.getSize() ? std::string(reinterpret_cast<const char*>(db.getData()), db.getSize()) : std::string();
}

inline std::vector<std::string> splitOn(const std::string& s, const std::string& sep) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t p; (p = s.find(sep, start)) != std::string::npos; start = p + sep.size())
        parts.push_back(s.substr(start, p - start));
    parts.push_back(s.substr(start));
    return parts;
}

inline std::string toHex(const std::string& s) { return testbytes::hex(testbytes::bytes(s)); }
inline std::string fromHex(const std::string& h) {
    const auto v = testbytes::unhex(h);
    return std::string(v.begin(), v.end());
}

// Converts from a heap block of exactly the input's size, so that a read past
// the end trips the address sanitizer.
inline std::string convert(ostmail::EncodingConvert& ec, uint32_t from, uint32_t to, const std::string& in,
                           bool* ok = nullptr) {
    std::vector<unsigned char> block(in.begin(), in.end());
    ostmail::DataBuffer out;
    ostmail::LogNull log;
    const bool r = ec.convert(from, to, block.data(), block.size(), out, log);
    if (ok) *ok = r;
    return str(out);
}
inline std::string convert(uint32_t from, uint32_t to, const std::string& in, bool* ok = nullptr) {
    ostmail::EncodingConvert ec;
    return convert(ec, from, to, in, ok);
}

// Output lines of a Python run, one per request.
inline std::vector<std::string> outputLines(const ostmail::testsupport::PythonResult& r) {
    std::vector<std::string> lines = splitOn(r.out, "\n");
    lines.pop_back();  // after the last newline
    return lines;
}

// Applies the Python expression 'expr' (over the bytes x, giving bytes) to
// every input in one interpreter run. Throws when Python fails, so a missing
// peer fails the test instead of passing it.
inline std::vector<std::string> pythonMap(const std::string& expr, const std::vector<std::string>& inputs) {
    std::string in;
    for (const auto& s : inputs) in += toHex(s) + "\n";
    const auto r = ostmail::testsupport::runPython("import sys, base64, quopri, binascii, email.header\n"
                                                   "for line in sys.stdin:\n"
                                                   "    x = bytes.fromhex(line.strip())\n"
                                                   "    print((" + expr + ").hex())\n",
                                                   in);
    std::vector<std::string> result;
    for (const auto& line : outputLines(r)) result.push_back(fromHex(line));
    if (r.exitCode != 0 || result.size() != inputs.size()) throw std::runtime_error("python peer failed: " + r.err);
    return result;
}

// Batches requests for tests/core/codec_peer.py and runs it once. A refusal
// ("!") reads as no bytes.
class CodecPeer {
public:
    // Returns the index of the request's answer.
    size_t add(const std::string& op, const std::string& codec, const std::string& errors, const std::string& bytes) {
        m_requests += op + " " + codec + " " + errors + " " + toHex(bytes) + "\n";
        return m_count++;
    }
    bool run() {
        const auto r = ostmail::testsupport::runPythonFile(OSTMAIL_SOURCE_DIR "/tests/core/codec_peer.py", m_requests);
        m_answers = outputLines(r);
        return r.exitCode == 0 && m_answers.size() == m_count;
    }
    std::string bytes(size_t i) const { return fromHex(m_answers.at(i)); }

private:
    std::string m_requests;
    size_t m_count = 0;
    std::vector<std::string> m_answers;
};

}  // namespace ostmail_test
