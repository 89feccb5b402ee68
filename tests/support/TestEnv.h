#pragma once
// The test servers' settings: the KEY='value' file that scripts/servers.sh
// writes and whose path arrives in OSTMAIL_TEST_ENV. Integration tests fail,
// never skip, when it is missing:
//
//   OSTMAIL_REQUIRE_TEST_ENV(env);
//   int port = env.port("OSTMAIL_SMTP_PORT");

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace ostmail {
namespace testsupport {

class TestEnv {
public:
    // Reads the file named by OSTMAIL_TEST_ENV.
    TestEnv();

    bool ok() const { return ok_; }
    // Why ok() is false, with what to do about it.
    const std::string& error() const { return error_; }

    // The value; a missing key is a test failure and gives "".
    std::string get(const std::string& key) const;
    // The value as a port; a missing or bad one is a test failure and gives 0.
    int port(const std::string& key) const;

private:
    bool ok_ = false;
    std::string error_;
    std::map<std::string, std::string> values_;
};

}  // namespace testsupport
}  // namespace ostmail

#define OSTMAIL_REQUIRE_TEST_ENV(var)      \
    ::ostmail::testsupport::TestEnv var;   \
    ASSERT_TRUE(var.ok()) << var.error()
