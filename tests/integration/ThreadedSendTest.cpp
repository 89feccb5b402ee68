// Many mail jobs at once to the test Exim, each on its own thread with its
// own CMailObj. Every message must arrive whole, and no Message-ID or
// boundary may repeat across threads. Built into the ThreadSanitizer tree as
// well, where a data race fails the run.
#include "integration/EximCheck.h"
#include "support/ScratchDir.h"

#include <set>
#include <thread>

namespace ostmail {
namespace {

using namespace itest;

// Plain ASCII lines under 76 characters: quoted-printable leaves them as they
// are, so the attachment can be found verbatim in what arrived.
std::string attachmentText(const std::string& token, const char* lineEnd) {
    std::string s;
    for (int i = 0; i < 40; ++i) s += "line " + std::to_string(i) + " of " + token + lineEnd;
    return s;
}

// The value after "name" up to the first of the stop characters.
std::string valueAfter(const std::string& text, const std::string& name, const char* stop) {
    size_t at = text.find(name);
    if (at == std::string::npos) return "";
    at += name.size();
    return text.substr(at, text.find_first_of(stop, at) - at);
}

TEST(ThreadedSend, ManyThreadsToExim) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
    const int threads = 16, perThread = 25, total = threads * perThread;
    testsupport::ScratchDir dir;
    const std::string prefix = Maildir::uniqueToken("thx");
    std::vector<std::string> tokens(total);
    std::vector<int> failures(threads, 0);
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([&, t] {
            for (int i = 0; i < perThread; ++i) {
                const std::string token = prefix + "-" + std::to_string(t) + "-" + std::to_string(i);
                tokens[t * perThread + i] = token;
                CMailObj m;
                aimJob(m, env.get("OSTMAIL_HOST"), env.port("OSTMAIL_SMTP_PORT"), false, "", "", token);
                m.SetAttachment(wide(dir.write(token + ".txt", attachmentText(token, "\r\n"))));
                if (m.DoMail() != 0) ++failures[t];
            }
        });
    for (auto& th : pool) th.join();
    EXPECT_EQ(failures, std::vector<int>(threads, 0)) << "failed sends per thread";

    std::vector<std::string> paths = Maildir(env.get("OSTMAIL_MAILDIR")).waitForCount(prefix + "-", total, 60000);
    ASSERT_EQ(paths.size(), tokens.size());
    std::set<std::string> arrived, ids, boundaries;
    int whole = 0;
    std::string fault;
    for (const std::string& p : paths) {
        const std::string m = Maildir::readFile(p);  // LF line ends
        const std::string token = valueAfter(m, "\nSubject: ", "\n");
        const std::string id = valueAfter(m, "\nMessage-ID: ", "\n");
        const std::string boundary = valueAfter(m, "boundary=\"", "\"");
        arrived.insert(token);
        ids.insert(id);
        boundaries.insert(boundary);
        if (!id.empty() && boundary.compare(0, 14, "-----_velmora_") == 0 && has(m, attachmentText(token, "\n")) &&
            has(m, "\n--" + boundary + "--"))
            ++whole;
        else if (fault.empty())
            fault = token + ":\n" + m.substr(0, 2000);
    }
    EXPECT_EQ(arrived, std::set<std::string>(tokens.begin(), tokens.end()));
    EXPECT_EQ(whole, total) << fault;
    EXPECT_EQ(ids.size(), static_cast<size_t>(total)) << "a Message-ID repeated";
    EXPECT_EQ(boundaries.size(), static_cast<size_t>(total)) << "a boundary repeated";
}

}  // namespace
}  // namespace ostmail
