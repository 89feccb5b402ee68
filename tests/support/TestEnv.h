#pragma once
// The test servers' settings: the KEY='value' file that scripts/servers.sh
// writes and whose path arrives in OSTMAIL_TEST_ENV. Integration tests fail,
// never skip, when it is missing:
//
//   OSTMAIL_REQUIRE_TEST_ENV(env);
//   int port = env.port("OSTMAIL_SMTP_PORT");

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <string>

namespace ostmail {
namespace testsupport {

class TestEnv {
public:
    // Reads the file named by OSTMAIL_TEST_ENV.
    TestEnv() {
        const char* var = std::getenv("OSTMAIL_TEST_ENV");
        const std::string path = var ? var : "";
        std::ifstream in(path);
        // scripts/servers.sh writes KEY='value' lines.
        for (std::string line; std::getline(in, line);) {
            size_t eq = line.find('=');
            if (eq == std::string::npos) continue;
            std::string v = line.substr(eq + 1);
            const bool quoted = v.size() >= 2 && v[0] == '\'' && v.back() == '\'';
            values_[line.substr(0, eq)] = quoted ? v.substr(1, v.size() - 2) : v;
        }
        if (!ok())
            error_ = "no test server settings in OSTMAIL_TEST_ENV (\"" + path + "\"); run `bash scripts/test.sh`, or "
                     "`bash scripts/servers.sh start DIR` and `export OSTMAIL_TEST_ENV=DIR/env`";
    }

    bool ok() const { return !values_.empty(); }
    // Why ok() is false, with what to do about it.
    const std::string& error() const { return error_; }

    // The value; a missing key is a test failure and gives "".
    std::string get(const std::string& key) const {
        auto it = values_.find(key);
        if (it != values_.end()) return it->second;
        ADD_FAILURE() << "test server setting " << key << " is missing" << (ok() ? "" : " (" + error_ + ")");
        return "";
    }
    // The value as a port; a missing or bad one is a test failure and gives 0.
    int port(const std::string& key) const {
        std::string v = get(key);
        char* end = nullptr;
        long p = std::strtol(v.c_str(), &end, 10);
        const bool good = !v.empty() && *end == '\0' && p > 0 && p <= 65535;
        if (!good && !v.empty()) ADD_FAILURE() << "test server setting " << key << " is not a port: " << v;
        return good ? static_cast<int>(p) : 0;
    }

private:
    std::string error_;
    std::map<std::string, std::string> values_;
};

}  // namespace testsupport
}  // namespace ostmail

#define OSTMAIL_REQUIRE_TEST_ENV(var)      \
    ::ostmail::testsupport::TestEnv var;   \
    ASSERT_TRUE(var.ok()) << var.error()
