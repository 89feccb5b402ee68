// Many mail jobs at once to the test Exim, each on its own thread with its
// own CMailObj. Every message must arrive whole,
// and no Message-ID or boundary may repeat across threads. Built into the
// ThreadSanitizer tree as well, where a data race fails the run.
#include "integration/EximCheck.h"
#include "support/ScratchDir.h"

#include <gtest/gtest.h>

#include <mutex>
#include <set>
#include <thread>

namespace ostmail {
namespace {

using namespace itest;
using testsupport::Maildir;

const int kThreads = 16;
const int kPerThread = 25;

// Plain ASCII lines under 76 characters: quoted-printable leaves them as they
// are, so the attachment can be found verbatim in what arrived.
std::string attachmentText(const std::string& token) {
    std::string s;
    for (int i = 0; i < 40; ++i) s += "line " + std::to_string(i) + " of " + token + "\r\n";
    return s;
}

std::string lf(std::string s) {
    for (size_t p = s.find("\r\n"); p != std::string::npos; p = s.find("\r\n", p)) s.erase(p, 1);
    return s;
}

// The value after "name" up to the first of the stop characters.
std::string valueAfter(const std::string& text, const std::string& name, const char* stop) {
    size_t at = text.find(name);
    if (at == std::string::npos) return "";
    at += name.size();
    return text.substr(at, text.find_first_of(stop, at) - at);
}

struct Seen {
    std::mutex mu;
    std::set<std::string> ids, boundaries;
    int whole = 0;
    std::vector<std::string> faults;

    // One arrived message (LF line ends); token names the message it must be.
    void check(const std::string& raw, const std::string& token) {
        const std::string m = lf(raw);
        const std::string id = valueAfter(m, "\nMessage-ID: ", "\n");
        const std::string boundary = valueAfter(m, "boundary=\"", "\"");
        const bool ok = !id.empty() && boundary.compare(0, 14, "-----_velmora_") == 0 && has(m, "Subject: " + token + "\n") &&
                        has(m, lf(attachmentText(token))) && has(m, "\n--" + boundary + "--");
        std::lock_guard<std::mutex> lock(mu);
        ids.insert(id);
        boundaries.insert(boundary);
        if (ok) ++whole;
        else if (faults.size() < 3) faults.push_back(token + ":\n" + m.substr(0, 2000));
    }
};

// Runs kThreads jobs of kPerThread sends; aim(t, job) sets the server.
template <typename Aim>
std::vector<std::string> sendAll(const testsupport::ScratchDir& dir, const std::string& prefix, Aim aim,
                                 std::vector<int>& failures) {
    std::vector<std::string> tokens(kThreads * kPerThread);
    failures.assign(kThreads, 0);
    std::vector<std::thread> pool;
    for (int t = 0; t < kThreads; ++t)
        pool.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                const std::string token = prefix + "-" + std::to_string(t) + "-" + std::to_string(i);
                tokens[t * kPerThread + i] = token;
                CMailObj m;
                aim(t, m);
                m.SetSubject(wide(token));
                m.SetAttachment(wide(dir.write(token + ".txt", attachmentText(token))));
                if (m.DoMail() != 0) ++failures[t];
            }
        });
    for (auto& th : pool) th.join();
    return tokens;
}

void expectAllWholeAndDistinct(Seen& seen) {
    const int total = kThreads * kPerThread;
    EXPECT_EQ(seen.whole, total) << (seen.faults.empty() ? "" : seen.faults[0]);
    EXPECT_EQ(seen.ids.size(), static_cast<size_t>(total)) << "a Message-ID repeated";
    EXPECT_EQ(seen.boundaries.size(), static_cast<size_t>(total)) << "a boundary repeated";
}

TEST(ThreadedSend, ManyThreadsToExim) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
    testsupport::ScratchDir dir;
    std::vector<int> failures;
    const std::string prefix = Maildir::uniqueToken("thx");
    std::vector<std::string> tokens = sendAll(dir, prefix, [&](int, CMailObj& m) {
        aimJob(m, env.get("OSTMAIL_HOST"), env.port("OSTMAIL_SMTP_PORT"), false, "", "", "");
    }, failures);
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[t], 0) << "thread " << t;

    Maildir md(env.get("OSTMAIL_MAILDIR"));
    std::vector<std::string> paths = md.waitForCount(prefix + "-", tokens.size(), 60000);
    ASSERT_EQ(paths.size(), tokens.size());
    Seen seen;
    std::set<std::string> arrived;
    for (const std::string& p : paths) {
        const std::string mail = Maildir::readFile(p);
        arrived.insert(valueAfter(lf(mail), "\nSubject: ", "\n"));
        seen.check(mail, valueAfter(lf(mail), "\nSubject: ", "\n"));
    }
    EXPECT_EQ(arrived, std::set<std::string>(tokens.begin(), tokens.end()));
    expectAllWholeAndDistinct(seen);
}

}  // namespace
}  // namespace ostmail
