// MX lookups against the test dnsmasq.
#include "core/ExtPtrArray.h"
#include "core/Logger.h"
#include "net/Mx.h"
#include "smtp/ClsMailMan.h"
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
        XString server;
        server.setFromUtf8("localhost");
        ASSERT_TRUE(mm.SetDnsServer(server, env.port("OSTMAIL_DNS_PORT")));
    }
    // The manager's log of the last operation is appended to log.
    bool best(const std::string& input, std::string& out, std::string& log) {
        XString in, host;
        in.setFromUtf8(input.c_str());
        host.setFromUtf8("stale");
        bool ok = mm.MxLookup(in, host);
        out = host.getUtf8();
        log += lastError();
        return ok;
    }
    bool all(const std::string& input, std::vector<std::string>& out, std::string& log) {
        XString in;
        in.setFromUtf8(input.c_str());
        ExtPtrArray arr;
        bool ok = mm.MxLookupAll(in, arr);
        out.clear();
        for (int32_t i = 0; i < arr.getSize(); ++i) out.push_back(arr.at<StringBuffer>(i)->toStdString());
        arr.removeAllObjects();
        log += lastError();
        return ok;
    }
    std::string lastError() {
        XString x;
        mm.LastErrorText(x);
        return x.getUtf8();
    }

    testsupport::TestEnv env;
    Mx mx;
    ClsMailMan mm;
};

TEST_F(MxLookupTest, LowestPreferenceFirstAndAddressesAgreeWithDomains) {
    std::string domain = env.get("OSTMAIL_DNS_MX_DOMAIN");
    for (const std::string& input : {domain, "  " + domain + " ", "Joe <joe@" + domain + ">", "joe@" + domain}) {
        std::string log;
        std::string host;
        ASSERT_TRUE(best(input, host, log)) << input << "\n" << log;
        EXPECT_EQ(host, "mx2.example.test") << input;
        std::vector<std::string> hosts;
        ASSERT_TRUE(all(input, hosts, log)) << log;
        EXPECT_EQ(hosts, (std::vector<std::string>{"mx2.example.test", "mx1.example.test"}));
        EXPECT_TRUE(contains(lastError(), "MxLookupAll")) << log;
        EXPECT_TRUE(contains(lastError(), ("emailAddr: " + input).c_str())) << log;
    }
}

// Equal preferences: the answer's first wins, and the list has both.
TEST_F(MxLookupTest, EqualPreferences) {
    std::string domain = env.get("OSTMAIL_DNS_EQUAL_DOMAIN");
    Logger mxLog;
    std::vector<platform::DnsRecord> answer;
    ASSERT_TRUE(mx.query(domain.c_str(), answer, mxLog)) << logText(mxLog);
    ASSERT_EQ(answer.size(), 2u);
    std::string log;
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
        std::string text;
        std::string host;
        EXPECT_FALSE(best(c.input, host, text)) << c.input;
        EXPECT_EQ(host, "");
        EXPECT_TRUE(contains(text, "Failed to lookup MX record")) << text;
        EXPECT_TRUE(contains(text, ("dnsQueryError: " + std::to_string(c.status)).c_str())) << text;
        EXPECT_TRUE(contains(text, ("emailOrDomain: " + c.input).c_str())) << text;
        std::vector<std::string> hosts;
        EXPECT_FALSE(all(c.input, hosts, text));
        EXPECT_TRUE(hosts.empty());
    }
}

// An answer of other records only (here a CNAME whose target has no MX) is
// a success with nothing found; there is no fallback to address records.
TEST_F(MxLookupTest, AnswerWithoutMxRecords) {
    std::string name = env.get("OSTMAIL_DNS_CNAME_ONLY_NAME");
    std::string log;
    std::string host;
    EXPECT_TRUE(best(name, host, log)) << log;
    EXPECT_EQ(host, "");
    std::vector<std::string> hosts;
    EXPECT_TRUE(all("postmaster@" + name, hosts, log)) << log;
    EXPECT_TRUE(hosts.empty());
}

TEST_F(MxLookupTest, InputsWithoutADomain) {
    for (auto [input, text] : {std::make_pair("joe@", "Invalid email address, cannot parse domain."),
                               std::make_pair("  ", "Invalid email address, cannot parse domain."),
                               std::make_pair("Joe <@>", "Invalid email address, cannot parse domain.")}) {
        std::string log;
        std::string host;
        EXPECT_FALSE(best(input, host, log)) << input;
        EXPECT_TRUE(contains(log, text)) << input << "\n" << log;
        EXPECT_FALSE(contains(log, "Failed to lookup MX record")) << log;
    }
    XString server;
    server.setFromUtf8("dns.example");
    EXPECT_FALSE(mm.SetDnsServer(server, 53));
    EXPECT_TRUE(contains(lastError(), "Invalid DNS server address or port"));
    server.setFromUtf8("127.0.0.1");
    EXPECT_FALSE(mm.SetDnsServer(server, 70000));
}

}  // namespace
}  // namespace ostmail
