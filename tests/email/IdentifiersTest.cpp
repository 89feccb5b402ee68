#include "EmailTestUtil.h"
#include "email/MailIdentifiers.h"
#include "email/VelmoraRand.h"
#include "email/VelmoraUuid.h"

#include <set>
#include <thread>

using namespace ostmail;

namespace {

const char kUuidShape[] = "########-####-####-####-############";

// Runs the fallback path (no system random source) with a frozen clock.
class FallbackSeeding : public ::testing::Test {
protected:
    void SetUp() override { VelmoraRand::setSystemSourceEnabled(false); }
    void TearDown() override {
        VelmoraRand::setSystemSourceEnabled(true);
        VelmoraRand::setTickSource(nullptr);
        VelmoraRand::reseed(0);
    }
};

}  // namespace

TEST(VelmoraRand, CStyleGeneratorAndR250Recurrence) {
    // The classic LCG of the Windows C runtime: seed 1 gives 41, 18467, 6334, 26500.
    VelmoraRand::crtSeed(1);
    for (int want : {41, 18467, 6334, 26500}) EXPECT_EQ(VelmoraRand::crtRand(), want);

    VelmoraRand::reseed(7);
    std::vector<uint32_t> x;
    for (int i = 0; i < 3000; ++i) x.push_back(VelmoraRand::nextWord());
    for (size_t n = 250; n < x.size(); ++n) ASSERT_EQ(x[n], x[n - 250] ^ x[n - 147]) << n;
}

// The tick alone seeds the sequence, whatever seed is passed. Eight threads
// together then draw exactly the words one thread drew from the same tick:
// nothing lost, nothing drawn twice, the order kept inside each four-word
// identifier.
TEST_F(FallbackSeeding, TheTickSeedsOneSequenceThatThreadsShareWhole) {
    VelmoraRand::setTickSource([] { return 4242u; });
    const int kThreads = 8, kPerThread = 2000;
    VelmoraRand::reseed(99);
    std::vector<uint32_t> serial(kThreads * kPerThread * 4);
    VelmoraRand::nextWords(serial.data(), static_cast<int>(serial.size()));
    std::set<std::vector<uint32_t>> quads;
    for (size_t i = 0; i < serial.size(); i += 4) quads.insert({serial.begin() + i, serial.begin() + i + 4});

    VelmoraRand::reseed(5);
    std::vector<std::vector<uint32_t>> drawn(kThreads);
    std::vector<std::thread> pool;
    for (int t = 0; t < kThreads; ++t)
        pool.emplace_back([&drawn, t] {
            uint32_t w[4];
            for (int i = 0; i < kPerThread; ++i) {
                StringBuffer id;
                VelmoraUuid::generate(id, w);
                drawn[t].insert(drawn[t].end(), w, w + 4);
            }
        });
    for (auto& th : pool) th.join();
    size_t matched = 0;
    for (const auto& d : drawn)
        for (size_t i = 0; i < d.size(); i += 4) matched += quads.erase({d.begin() + i, d.begin() + i + 4});
    EXPECT_EQ(matched, static_cast<size_t>(kThreads * kPerThread));
    EXPECT_TRUE(quads.empty());
}

TEST(MailIdentifiers, ShapesAndUniqueness) {
    MailIdentifiers::setHostNameOverride("mail.example.org");
    std::set<std::string> ids, boundaries;
    const struct { void (*make)(StringBuffer&); std::string shape; std::set<std::string>& seen; } kinds[] = {
        {MailIdentifiers::newMessageId, std::string("<VELMORA-MID-") + kUuidShape + "@mail.example.org>", ids},
        {MailIdentifiers::newBoundary, "-----_velmora_###_####_########.########", boundaries},
    };
    for (int i = 0; i < 5000; ++i)
        for (const auto& k : kinds) {
            StringBuffer id;
            k.make(id);
            ASSERT_TRUE(testutil::matchesShape(id.toStdString(), k.shape)) << id.getString();
            ASSERT_TRUE(k.seen.insert(id.toStdString()).second) << id.getString();
        }

    MailIdentifiers::setHostNameOverride("");
    StringBuffer m;
    m.append("previous text is replaced");
    MailIdentifiers::newMessageId(m);
    EXPECT_TRUE(testutil::matchesShape(m.toStdString(), std::string("<VELMORA-MID-") + kUuidShape + "@unknown>"));
    MailIdentifiers::setHostNameOverride(nullptr);
    StringBuffer host;
    MailIdentifiers::hostNameOrUnknown(host);
    EXPECT_FALSE(host.isEmpty());
}
