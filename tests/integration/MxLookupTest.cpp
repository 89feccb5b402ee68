// MX lookups against the test dnsmasq.
#include "core/ExtPtrArray.h"
#include "core/Logger.h"
#include "net/Mx.h"
#include "smtp/MailManMx.h"
#include "support/TestEnv.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace ostmail {
namespace {

std::string logText(Logger& log) {
    StringBuffer sb;
    log.GetText(sb);
    return sb.toStdString();
}

bool contains(const std::string& hay, const char* needle) { return hay.find(needle) != std::string::npos; }

class MxLookupTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(env.ok()) << env.error();
        Logger log;
        ASSERT_TRUE(mx.setDnsServer("127.0.0.1", env.port("OSTMAIL_DNS_PORT"), log)) << logText(log);
    }
    bool best(const std::string& input, std::string& out, Logger& log) {
        StringBuffer sb("stale");
        bool ok = MailManMx::MxLookup(mx, input.c_str(), sb, log);
        out = sb.toStdString();
        return ok;
    }
    bool all(const std::string& input, std::vector<std::string>& out, Logger& log) {
        ExtPtrArray arr;
        bool ok = MailManMx::MxLookupAll(mx, input.c_str(), arr, log);
        out.clear();
        for (int32_t i = 0; i < arr.getSize(); ++i) out.push_back(arr.at<StringBuffer>(i)->toStdString());
        arr.removeAllObjects();
        return ok;
    }

    testsupport::TestEnv env;
    Mx mx;
};

TEST_F(MxLookupTest, LowestPreferenceFirstAndAddressesAgreeWithDomains) {
    std::string domain = env.get("OSTMAIL_DNS_MX_DOMAIN");
    for (const std::string& input : {domain, "  " + domain + " ", "Joe <joe@" + domain + ">", "joe@" + domain}) {
        Logger log;
        std::string host;
        ASSERT_TRUE(best(input, host, log)) << input << "\n" << logText(log);
        EXPECT_EQ(host, "mx2.example.test") << input;
        std::vector<std::string> hosts;
        ASSERT_TRUE(all(input, hosts, log)) << logText(log);
        EXPECT_EQ(hosts, (std::vector<std::string>{"mx2.example.test", "mx1.example.test"}));
        EXPECT_TRUE(contains(logText(log), "MxLookupAll")) << logText(log);
    }
}

// Equal preferences: the answer's first wins, and the list has both.
TEST_F(MxLookupTest, EqualPreferences) {
    std::string domain = env.get("OSTMAIL_DNS_EQUAL_DOMAIN");
    Logger log;
    std::vector<platform::DnsRecord> answer;
    ASSERT_TRUE(mx.query(domain.c_str(), answer, log)) << logText(log);
    ASSERT_EQ(answer.size(), 2u);
    std::string host;
    ASSERT_TRUE(best(domain, host, log));
    EXPECT_EQ(host, answer[0].exchange);
    std::vector<std::string> hosts;
    ASSERT_TRUE(all(domain, hosts, log));
    std::sort(hosts.begin(), hosts.end());
    EXPECT_EQ(hosts, (std::vector<std::string>{"mxa.equal.test", "mxb.equal.test"}));
}

// No MX records and no such name both fail with the DNS client's status.
TEST_F(MxLookupTest, NoRecordsAndMissingNames) {
    struct Case {
        std::string input;
        int status;
    } cases[] = {
        {env.get("OSTMAIL_DNS_NOMX_DOMAIN"), platform::kDnsNoRecords},
        {env.get("OSTMAIL_DNS_MISSING_DOMAIN"), platform::kDnsNameError},
        {"someone@" + env.get("OSTMAIL_DNS_MISSING_DOMAIN"), platform::kDnsNameError},
    };
    for (const Case& c : cases) {
        Logger log;
        std::string host;
        EXPECT_FALSE(best(c.input, host, log)) << c.input;
        EXPECT_EQ(host, "");
        std::string text = logText(log);
        EXPECT_TRUE(contains(text, "Failed to lookup MX record")) << text;
        EXPECT_TRUE(contains(text, ("dnsQueryError: " + std::to_string(c.status)).c_str())) << text;
        EXPECT_TRUE(contains(text, ("emailOrDomain: " + c.input).c_str())) << text;
        std::vector<std::string> hosts;
        EXPECT_FALSE(all(c.input, hosts, log));
        EXPECT_TRUE(hosts.empty());
    }
}

// An answer of other records only (here a CNAME whose target has no MX) is
// a success with nothing found; there is no fallback to address records.
TEST_F(MxLookupTest, AnswerWithoutMxRecords) {
    std::string name = env.get("OSTMAIL_DNS_CNAME_ONLY_NAME");
    Logger log;
    std::vector<platform::DnsRecord> answer;
    ASSERT_TRUE(mx.query(name.c_str(), answer, log)) << logText(log);
    ASSERT_FALSE(answer.empty());
    EXPECT_NE(answer[0].type, platform::kDnsTypeMx);
    std::string host;
    EXPECT_TRUE(best(name, host, log)) << logText(log);
    EXPECT_EQ(host, "");
    std::vector<std::string> hosts;
    EXPECT_TRUE(all("postmaster@" + name, hosts, log)) << logText(log);
    EXPECT_TRUE(hosts.empty());
}

TEST_F(MxLookupTest, InputsWithoutADomain) {
    for (auto [input, text] : {std::make_pair("joe@", "Invalid email address, cannot parse domain."),
                               std::make_pair("  ", "Invalid email address, cannot parse domain."),
                               std::make_pair("Joe <@>", "Invalid email address, cannot parse domain.")}) {
        Logger log;
        std::string host;
        EXPECT_FALSE(best(input, host, log)) << input;
        EXPECT_TRUE(contains(logText(log), text)) << input << "\n" << logText(log);
        EXPECT_FALSE(contains(logText(log), "Failed to lookup MX record")) << logText(log);
    }
    Logger log;
    EXPECT_FALSE(mx.setDnsServer("dns.example", 53, log));
    EXPECT_FALSE(mx.setDnsServer("127.0.0.1", 70000, log));
}

}  // namespace
}  // namespace ostmail
