#include "support/TestEnv.h"

#include <cstdlib>
#include <fstream>

namespace ostmail {
namespace testsupport {

namespace {

const char* const kHowTo =
    "integration tests need the test servers: run `bash scripts/test.sh`, or "
    "`bash scripts/servers.sh start DIR` and `export OSTMAIL_TEST_ENV=DIR/env`";

std::string unquote(std::string v) {
    if (v.size() >= 2 && (v.front() == '\'' || v.front() == '"') && v.back() == v.front())
        return v.substr(1, v.size() - 2);
    return v;
}

}  // namespace

TestEnv::TestEnv() {
    const char* var = std::getenv("OSTMAIL_TEST_ENV");
    const std::string path = var ? var : "";
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        size_t eq = line.find('=');
        if (line.empty() || line[0] == '#' || eq == std::string::npos) continue;
        values_[line.substr(0, eq)] = unquote(line.substr(eq + 1));
    }
    ok_ = !values_.empty();
    if (ok_) return;
    error_ = path.empty() ? "OSTMAIL_TEST_ENV is not set"
                          : (in.is_open() ? "no settings in " : "cannot read OSTMAIL_TEST_ENV file ") + path;
    error_ += std::string("; ") + kHowTo;
}

std::string TestEnv::get(const std::string& key) const {
    auto it = values_.find(key);
    if (it == values_.end()) {
        ADD_FAILURE() << "test server setting " << key << " is missing"
                      << (ok_ ? "" : " (" + error_ + ")");
        return "";
    }
    return it->second;
}

int TestEnv::port(const std::string& key) const {
    std::string v = get(key);
    char* end = nullptr;
    long p = std::strtol(v.c_str(), &end, 10);
    if (v.empty() || *end != '\0' || p <= 0 || p > 65535) {
        if (!v.empty()) ADD_FAILURE() << "test server setting " << key << " is not a port: " << v;
        return 0;
    }
    return static_cast<int>(p);
}

}  // namespace testsupport
}  // namespace ostmail
