#include "facade/FacadeTestUtil.h"
#include "facade/VmMailCb.h"
#include "facade/VmMailMan.h"
#include "support/ScriptedSmtpServer.h"

#include <algorithm>
#include <chrono>

using namespace ostmail;

namespace {

// The host's side of the progress events: every call in order, and an
// abort at a given percentage or at every check.
struct Recorder : VmMailManProgress {
    std::vector<std::string> calls;
    int abortAtPercent = 1000;  // never
    bool abortOnCheck = false;

    void SendPercentDone(int32_t percent, bool* abort) override {
        calls.push_back("send " + std::to_string(percent));
        if (percent >= abortAtPercent) *abort = true;
    }
    void AbortCheck(bool* abort) override {
        calls.push_back("check");
        if (abortOnCheck) *abort = true;
    }
};

// A manager aimed at a scripted server, a recorder registered, and a
// message of bodySize bytes to send.
struct Sending {
    testsupport::ScriptedSmtpServer srv;
    Recorder rec;
    VmMailMan mm;
    VmEmail email;
    explicit Sending(size_t bodySize = 20000) {
        mm.put_SmtpHost("127.0.0.1");
        mm.put_ReadTimeout(10);
        mm.put_EventCallbackObject(&rec);
        email.put_FromAddress("s@x.test");
        email.put_Body(std::string(bodySize, 'x').c_str());
        EXPECT_TRUE(email.AddTo("", "a@y.test"));
    }
    bool send() {
        srv.start();
        mm.put_SmtpPort(srv.port());
        return mm.SendEmail(email);
    }
};

}  // namespace

TEST(VmMailMan, TextsTravelInAnsiOrUtf8AndReachTheManager) {
    facadetest::Cp1252 cp;
    VmMailMan mm;
    mm.put_SmtpUsername("J\xFCrgen");  // ü in code page 1252
    EXPECT_STREQ(mm.smtpUsername(), "J\xFCrgen");
    mm.put_Utf8(true);
    EXPECT_STREQ(mm.smtpUsername(), "J\xC3\xBCrgen");

    mm.put_SocksVersion(3);
    EXPECT_EQ(mm.get_SocksVersion(), 0) << "only 4 and 5 are proxies";

    // The last error renders in all three forms.
    VmEmail email;
    mm.put_SmtpHost("");
    EXPECT_FALSE(mm.SendEmail(email));
    EXPECT_NE(std::string(mm.lastErrorText()).find("SendEmail:"), std::string::npos);
    EXPECT_NE(std::string(mm.lastErrorXml()).find("<SendEmail>"), std::string::npos);
    EXPECT_NE(std::string(mm.lastErrorHtml()).find("<blockquote>"), std::string::npos);
}

TEST(VmMailMan, HostCanAbortBeforeConnectingAndWhileWaiting) {
    // Abort at the first percentage, which a small message reaches before
    // connecting: nothing reaches the server, and the bar is still finished.
    Sending early(10);
    early.srv.reply("220 ready").serveRest();
    early.rec.abortAtPercent = 0;
    EXPECT_FALSE(early.send());
    EXPECT_NE(std::string(early.mm.lastErrorText()).find("Mail sending aborted by application"), std::string::npos)
        << early.mm.lastErrorText();
    EXPECT_EQ(early.srv.connections(), 0);
    ASSERT_FALSE(early.rec.calls.empty());
    EXPECT_EQ(early.rec.calls.back(), "send 100");

    // A silent server: with heartbeats on, the host's abort check ends the
    // wait long before the read time-out.
    Sending waiting;
    waiting.srv.silence(8000);
    waiting.rec.abortOnCheck = true;
    waiting.mm.put_HeartbeatMs(100);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(waiting.send());
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_LT(ms, 5000);
    EXPECT_NE(std::count(waiting.rec.calls.begin(), waiting.rec.calls.end(), "check"), 0);
    std::string log = waiting.mm.lastErrorText();
    EXPECT_NE(log.find("Aborted by application"), std::string::npos) << log;
    EXPECT_NE(log.find("Failed to connect to SMTP server."), std::string::npos) << log;
}

// A host-less adapter asks no one and never aborts.
TEST(VmMailCb, WithoutAHostNothingIsAskedOrAborted) {
    VmMailCb alone(nullptr);
    bool abort = false;
    alone.Heartbeat(0, &abort);
    EXPECT_FALSE(abort);
}
