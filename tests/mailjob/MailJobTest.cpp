#include "mailjob/MailJob.h"
#include "ostmail/CMailObj.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace ostmail {
namespace {

using mailjob::runAttempts;
using mailjob::splitList;

TEST(MailJob, ListsSplitAtSemicolonsWithoutEmptyEntries) {
    EXPECT_EQ(splitList(L"a@x.test;;b@x.test;"), (std::vector<std::wstring>{L"a@x.test", L"b@x.test"}));
    EXPECT_EQ(splitList(L";; a@x.test ;b"), (std::vector<std::wstring>{L" a@x.test ", L"b"}));
    EXPECT_TRUE(splitList(L"").empty());
    EXPECT_TRUE(splitList(L";;;").empty());
    EXPECT_EQ(splitList(L"/tmp/a b.txt"), (std::vector<std::wstring>{L"/tmp/a b.txt"}));
}

TEST(MailJob, AttemptsAndWaitsFollowTheRetryCount) {
    struct Case {
        std::vector<bool> outcomes;
        int32_t retries;
        int result, attempts, waits;
    } cases[] = {
        {{}, 0, -1, 1, 1},                     // fails once, still waits once
        {{}, -5, -1, 1, 1},                    // negative counts as none
        {{}, 2, -1, 3, 3},                     // the last failure waits too
        {{}, 3, -1, 4, 4},                     // three retries are four attempts
        {{false, true}, 2, 0, 2, 1},           // accepted on the second attempt
        {{true}, 5, 0, 1, 0},                  // first attempt wins, no wait
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("retries " + std::to_string(c.retries));
        int attempts = 0;
        std::vector<uint32_t> waits;
        auto attempt = [&] {  // beyond the listed outcomes, every attempt fails
            return ++attempts <= static_cast<int>(c.outcomes.size()) && c.outcomes[attempts - 1];
        };
        EXPECT_EQ(runAttempts(attempt, c.retries, 7000, [&](uint32_t ms) { waits.push_back(ms); }), c.result);
        EXPECT_EQ(attempts, c.attempts);
        EXPECT_EQ(waits, std::vector<uint32_t>(c.waits, 7000u));
    }
}

// Reaches the protected file helpers the way a deriving host would.
class HostMail : public CMailObj {
public:
    using CMailObj::AddId;
    using CMailObj::ReadFileToString;
    void addImage(const std::wstring& path) { m_inlineImages.push_back(path); }
};

TEST(CMailObj, ReadFileToStringStopsAtZeroAndKeepsTextOnFailure) {
    HostMail m;
    std::string dir = ::testing::TempDir();
    std::string empty = dir + "/ostmail_empty.txt", zero = dir + "/ostmail_zero.txt";
    std::ofstream(empty).close();
    static const char withZero[] = "line one\r\nline two\0hidden";
    std::ofstream(zero, std::ios::binary) << std::string(withZero, sizeof withZero - 1);

    std::wstring text = L"unchanged";
    EXPECT_EQ(m.ReadFileToString(L"/nonexistent/ostmail/file.txt", text), 0);
    EXPECT_EQ(text, L"unchanged");
    EXPECT_EQ(m.ReadFileToString(std::wstring(empty.begin(), empty.end()), text), 1);
    EXPECT_EQ(text, L"");
    EXPECT_EQ(m.ReadFileToString(std::wstring(zero.begin(), zero.end()), text), 1);
    EXPECT_EQ(text, L"line one\r\nline two");
    std::remove(empty.c_str());
    std::remove(zero.c_str());
}

TEST(CMailObj, AddIdTurnsImageReferencesIntoContentIds) {
    HostMail m;
    m.addImage(L"C:\\report\\img\\logo.png");
    m.addImage(L"/srv/pics/missing.gif");
    m.addImage(L"/srv/pics/chart.png");
    std::wstring html = L"<img src=\"img/logo.png\"><img src=\"img/logo.png\"><img src=\"other/chart.png\">";
    m.AddId(html);
    // logo: the slash form matches the path once backslashed; chart: "other/"
    // is not part of its path, so it stays.
    EXPECT_EQ(html, L"<img src=\"cid:logo.png\"><img src=\"cid:logo.png\"><img src=\"other/chart.png\">");

    // A name with no quote before it ends the whole run.
    HostMail stop;
    stop.addImage(L"/a/x.png");
    stop.addImage(L"/a/y.png");
    std::wstring bare = L"x.png then \"/a/y.png\"";
    stop.AddId(bare);
    EXPECT_EQ(bare, L"x.png then \"/a/y.png\"");
}

}  // namespace
}  // namespace ostmail
