// MX lookups against the test dnsmasq.
#include "facade/VmMailMan.h"
#include "smtp/ClsMailMan.h"
#include "support/TestEnv.h"

#ifdef _WIN32
#include <windows.h>
#endif

#include <algorithm>

namespace ostmail {
namespace {

bool contains(const std::string& hay, const std::string& needle) { return hay.find(needle) != std::string::npos; }

// MxLookup and MxLookupAll of one input, with the manager's log of both.
struct Lookup {
    bool bestOk = false, allOk = false;
    std::string host, log;
    std::vector<std::string> hosts;
};

class MxLookupTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(env.ok()) << env.error();
#ifdef _WIN32
        // DnsQuery_A takes its servers as an IP4_ARRAY, which has no port.
        if (env.port("OSTMAIL_DNS_PORT") != 53)
            GTEST_SKIP() << "DnsQuery_A cannot ask the test dnsmasq on port " << env.port("OSTMAIL_DNS_PORT");
#endif
        ASSERT_TRUE(mm.SetDnsServer("localhost", env.port("OSTMAIL_DNS_PORT")));
    }
    Lookup lookup(const std::string& input) {
        Lookup r;
        XString in, host;
        in.setFromUtf8(input.c_str());
        host.setFromUtf8("stale");
        r.bestOk = mm.impl()->MxLookup(in, host);
        r.host = host.getUtf8();
        r.log = mm.lastErrorText();
        r.hosts.push_back("stale");
        r.allOk = mm.MxLookupAll(input.c_str(), r.hosts);
        r.log += mm.lastErrorText();
        return r;
    }

    testsupport::TestEnv env;
    VmMailMan mm;
};

// The lowest preference comes first, whatever the form of the input; of equal
// preferences the answer's first wins, and the list has both.
TEST_F(MxLookupTest, LowestPreferenceFirstAndAddressesAgreeWithDomains) {
    std::string domain = env.get("OSTMAIL_DNS_MX_DOMAIN");
    for (const std::string& input : {domain, "  " + domain + " ", "Joe <joe@" + domain + ">", "joe@" + domain}) {
        SCOPED_TRACE(input);
        Lookup r = lookup(input);
        ASSERT_TRUE(r.bestOk && r.allOk) << r.log;
        EXPECT_EQ(r.host, "mx2.example.test");
        EXPECT_EQ(r.hosts, (std::vector<std::string>{"mx2.example.test", "mx1.example.test"}));
        EXPECT_TRUE(contains(mm.lastErrorText(), "MxLookupAll")) << r.log;
        EXPECT_TRUE(contains(mm.lastErrorText(), "emailAddr: " + input)) << r.log;
    }
    Mx mx;
    Logger mxLog;
    std::vector<platform::DnsRecord> answer;
    ASSERT_TRUE(mx.setDnsServer("127.0.0.1", env.port("OSTMAIL_DNS_PORT"), mxLog));
    ASSERT_TRUE(mx.query(env.get("OSTMAIL_DNS_EQUAL_DOMAIN").c_str(), answer, mxLog));
    ASSERT_EQ(answer.size(), 2u);
    Lookup r = lookup(env.get("OSTMAIL_DNS_EQUAL_DOMAIN"));
    ASSERT_TRUE(r.bestOk && r.allOk) << r.log;
    EXPECT_EQ(r.host, answer[0].exchange);
    std::sort(r.hosts.begin(), r.hosts.end());
    EXPECT_EQ(r.hosts, (std::vector<std::string>{"mxa.equal.test", "mxb.equal.test"}));
}

#ifdef _WIN32
// Wine 8.0's DnsQuery_A reports an empty MX answer (NODATA) as
// DNS_ERROR_RCODE_NAME_ERROR, and the query of a CNAME-only name fails, where
// Windows gives DNS_INFO_NO_RECORDS and an empty success.
bool underWine() { return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr; }
#else
bool underWine() { return false; }
#endif

// No MX records and no such name both fail with the DNS client's status. An
// answer of other records only (here a CNAME whose target has no MX) is a
// success with nothing found; there is no fallback to address records. An
// input without a domain asks no server, and a DNS server that is not an
// address with a port is refused.
TEST_F(MxLookupTest, NoRecordsAndMissingNames) {
    struct Case {
        std::string input;
        int status;  // 0: success without hosts; -1: no domain to ask for
    } cases[] = {
        {env.get("OSTMAIL_DNS_NOMX_DOMAIN"), platform::kDnsNoRecords},
        {env.get("OSTMAIL_DNS_MISSING_DOMAIN"), platform::kDnsNameError},
        {env.get("OSTMAIL_DNS_CNAME_ONLY_NAME"), 0},
        {"joe@", -1}, {"  ", -1}, {"Joe <@>", -1},
    };
    std::string notAsked;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input);
        if (underWine() && c.status >= 0 && c.status != platform::kDnsNameError) {
            notAsked += " " + c.input;
            continue;
        }
        Lookup r = lookup(c.input);
        EXPECT_EQ(r.bestOk, c.status == 0) << r.log;
        EXPECT_EQ(r.allOk, c.status == 0) << r.log;
        EXPECT_EQ(r.host, "");
        EXPECT_TRUE(r.hosts.empty());
        EXPECT_EQ(contains(r.log, "Invalid email address, cannot parse domain."), c.status < 0) << r.log;
        EXPECT_EQ(contains(r.log, "Failed to lookup MX record"), c.status > 0) << r.log;
        if (c.status <= 0) continue;
        EXPECT_TRUE(contains(r.log, "dnsQueryError: " + std::to_string(c.status))) << r.log;
        EXPECT_TRUE(contains(r.log, "emailOrDomain: " + c.input)) << r.log;
    }
    EXPECT_FALSE(mm.SetDnsServer("dns.example", 53));
    EXPECT_TRUE(contains(mm.lastErrorText(), "Invalid DNS server address or port"));
    for (int port : {-1, 70000}) EXPECT_FALSE(mm.SetDnsServer("127.0.0.1", port)) << port;
    if (!notAsked.empty())
        GTEST_SKIP() << "Wine's DnsQuery_A cannot tell an empty answer from a missing name:" << notAsked;
}

}  // namespace
}  // namespace ostmail
