#pragma once
// Runs tests/core/codec_peer.py once over a batch of requests, so that the
// charset tests compare with Python's codecs rather than with themselves.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace ostmail {
namespace test {

inline std::string toHex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string h;
    for (unsigned char c : bytes) {
        h += digits[c >> 4];
        h += digits[c & 15];
    }
    return h;
}

inline std::string fromHex(const std::string& hex) {
    std::string b;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) b += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return b;
}

class CodecPeer {
public:
    // Returns the index of the request's answer.
    size_t add(const std::string& op, const std::string& codec, const std::string& errors, const std::string& bytes) {
        m_requests += op + " " + codec + " " + errors + " " + toHex(bytes) + "\n";
        return m_count++;
    }

    bool run() {
        char path[] = "/tmp/codec_peer_XXXXXX";
        int fd = mkstemp(path);
        if (fd < 0) return false;
        close(fd);
        std::ofstream(path) << m_requests;
        std::string cmd = std::string("/usr/bin/python3 " OSTMAIL_SOURCE_DIR "/tests/core/codec_peer.py < ") + path;
        FILE* f = popen(cmd.c_str(), "r");
        if (f) {
            char line[65536];
            while (fgets(line, sizeof line, f)) {
                std::string s(line);
                while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
                m_answers.push_back(s);
            }
            pclose(f);
        }
        unlink(path);
        return m_answers.size() == m_count;
    }

    bool refused(size_t i) const { return m_answers.at(i) == "!"; }
    std::string bytes(size_t i) const { return fromHex(m_answers.at(i)); }

private:
    std::string m_requests;
    size_t m_count = 0;
    std::vector<std::string> m_answers;
};

}  // namespace test
}  // namespace ostmail
