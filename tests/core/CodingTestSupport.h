#pragma once
// Helpers for the codec tests. pythonMap runs Python's own codecs over test
// data, so our encoders and decoders are checked against an implementation
// we did not write.
#include "core/DataBuffer.h"
#include "core/StringBuffer.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <unistd.h>
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

inline std::string toHex(const std::string& s) {
    static const char* d = "0123456789abcdef";
    std::string h;
    h.reserve(s.size() * 2);
    for (unsigned char c : s) {
        h += d[c >> 4];
        h += d[c & 15];
    }
    return h;
}

inline std::string fromHex(const std::string& h) {
    std::string s;
    for (size_t i = 0; i + 1 < h.size(); i += 2) s += static_cast<char>(std::stoi(h.substr(i, 2), nullptr, 16));
    return s;
}

// Applies the Python expression 'expr' (over the bytes x, giving bytes) to
// every input in one interpreter run. Throws when Python fails, so a missing
// peer fails the test instead of passing it.
inline std::vector<std::string> pythonMap(const std::string& expr, const std::vector<std::string>& inputs) {
    char inName[] = "/tmp/ostmail_py_inXXXXXX";
    char outName[] = "/tmp/ostmail_py_outXXXXXX";
    const int fi = mkstemp(inName);
    const int fo = mkstemp(outName);
    if (fi < 0 || fo < 0) throw std::runtime_error("mkstemp");
    close(fi);
    close(fo);
    {
        std::ofstream in(inName);
        for (const auto& s : inputs) in << toHex(s) << '\n';
    }
    const std::string script =
        "import sys, base64, quopri, binascii, email.header\n"
        "out = open(sys.argv[2], 'w')\n"
        "for line in open(sys.argv[1]):\n"
        "    x = bytes.fromhex(line.strip())\n"
        "    out.write((" + expr + ").hex() + '\\n')\n";
    char scriptName[] = "/tmp/ostmail_py_scriptXXXXXX";
    const int fs = mkstemp(scriptName);
    if (fs < 0) throw std::runtime_error("mkstemp");
    close(fs);
    std::ofstream(scriptName) << script;
    const std::string cmd = std::string("/usr/bin/python3 ") + scriptName + " " + inName + " " + outName;
    const int rc = std::system(cmd.c_str());
    std::vector<std::string> result;
    std::ifstream out(outName);
    for (std::string line; std::getline(out, line);) result.push_back(fromHex(line));
    unlink(inName);
    unlink(outName);
    unlink(scriptName);
    if (rc != 0 || result.size() != inputs.size()) throw std::runtime_error("python peer failed: " + expr);
    return result;
}

}  // namespace ostmail_test
