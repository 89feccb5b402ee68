#include "support/TestEnv.h"

#include <cstdlib>
#include <fstream>

namespace ostmail {
namespace testsupport {

namespace {

const char* const kHowTo =
    "integration tests need the test servers: run `bash scripts/test.sh`, or "
    "`bash scripts/servers.sh start DIR` and `export OSTMAIL_TEST_ENV=DIR/env`";

}  // namespace

TestEnv::TestEnv() {
    const char* var = std::getenv("OSTMAIL_TEST_ENV");
    const std::string path = var ? var : "";
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        size_t eq = line.find('=');
        if (line.empty() || line[0] == '#' || eq == std::string::npos) continue;
        std::string v = line.substr(eq + 1);
        const bool quoted = v.size() >= 2 && (v[0] == '\'' || v[0] == '"') && v.back() == v[0];
        values_[line.substr(0, eq)] = quoted ? v.substr(1, v.size() - 2) : v;
    }
    ok_ = !values_.empty();
    if (ok_) return;
    error_ = path.empty() ? "OSTMAIL_TEST_ENV is not set"
                          : (in.is_open() ? "no settings in " : "cannot read OSTMAIL_TEST_ENV file ") + path;
    error_ += std::string("; ") + kHowTo;
}

std::string TestEnv::get(const std::string& key) const {
    auto it = values_.find(key);
    if (it != values_.end()) return it->second;
    ADD_FAILURE() << "test server setting " << key << " is missing" << (ok_ ? "" : " (" + error_ + ")");
    return "";
}

int TestEnv::port(const std::string& key) const {
    std::string v = get(key);
    char* end = nullptr;
    long p = std::strtol(v.c_str(), &end, 10);
    const bool good = !v.empty() && *end == '\0' && p > 0 && p <= 65535;
    if (!good && !v.empty()) ADD_FAILURE() << "test server setting " << key << " is not a port: " << v;
    return good ? static_cast<int>(p) : 0;
}

}  // namespace testsupport
}  // namespace ostmail
