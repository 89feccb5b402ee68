#include "facade/VmEmail.h"
#include "facade/VmMailCb.h"
#include "facade/VmMailMan.h"
#include "platform/SysInfo.h"
#include "support/ScriptedSmtpServer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace ostmail {
namespace {

using testsupport::ScriptedSmtpServer;

// Pins the ANSI code page so the 8-bit texts below mean the same everywhere.
class Cp1252 {
public:
    Cp1252() { platform::setAnsiCodePageOverride(1252); }
    ~Cp1252() { platform::setAnsiCodePageOverride(0); }
};

struct Recorder : VmMailManProgress {
    std::vector<int> percents;
    int abortChecks = 0;
    int abortAtPercent = 1000;  // never
    bool abortOnCheck = false;

    void SendPercentDone(int32_t percent, bool* abort) override {
        percents.push_back(percent);
        if (percent >= abortAtPercent) *abort = true;
    }
    void AbortCheck(bool* abort) override {
        ++abortChecks;
        if (abortOnCheck) *abort = true;
    }
};

void pointAt(VmMailMan& mm, const ScriptedSmtpServer& srv) {
    mm.put_SmtpHost("127.0.0.1");
    mm.put_SmtpPort(srv.port());
    mm.put_ReadTimeout(10);
}

void compose(VmEmail& email, size_t bodySize = 20000) {
    email.put_FromAddress("s@x.test");
    email.put_Subject("progress");
    email.put_Body(std::string(bodySize, 'x').c_str());
    ASSERT_TRUE(email.AddTo("", "a@y.test"));
}

TEST(VmMailMan, TextsTravelInAnsiOrUtf8AndReachTheManager) {
    Cp1252 cp;
    VmMailMan mm;
    mm.put_SmtpUsername("J\xFCrgen");  // ü in code page 1252
    EXPECT_STREQ(mm.smtpUsername(), "J\xFCrgen");
    mm.put_Utf8(true);
    EXPECT_STREQ(mm.smtpUsername(), "J\xC3\xBCrgen");
    mm.put_SmtpPassword("p\xC3\xA4ss");
    mm.put_Utf8(false);
    EXPECT_STREQ(mm.smtpPassword(), "p\xE4ss");

    mm.put_SmtpHost("HTTP://Mail.Example.Test/");
    EXPECT_STREQ(mm.smtpHost(), "mail.example.test");
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

TEST(VmMailMan, RegisteredProgressSeesRisingPercentagesToTheEnd) {
    ScriptedSmtpServer srv;
    srv.reply("220 ready").serveRest();
    srv.start();
    Recorder rec;
    {
        VmMailMan mm;
        pointAt(mm, srv);
        mm.put_EventCallbackObject(&rec);
        VmEmail email;
        compose(email);
        ASSERT_TRUE(mm.SendEmail(email)) << mm.lastErrorText();
    }
    ASSERT_FALSE(rec.percents.empty());
    for (size_t i = 1; i < rec.percents.size(); ++i) EXPECT_GT(rec.percents[i], rec.percents[i - 1]);
    EXPECT_EQ(rec.percents.back(), 100);
    EXPECT_EQ(srv.dataBlocks().size(), 1u);
}

TEST(VmMailMan, HostCanAbortBeforeConnectingAndWhileWaiting) {
    // Abort at the first percentage, which a small message reaches before
    // connecting: nothing reaches the server.
    {
        ScriptedSmtpServer srv;
        srv.reply("220 ready").serveRest();
        srv.setReadTimeoutMs(500);
        srv.start();
        Recorder rec;
        rec.abortAtPercent = 0;
        VmMailMan mm;
        pointAt(mm, srv);
        mm.put_EventCallbackObject(&rec);
        VmEmail email;
        compose(email, 10);
        EXPECT_FALSE(mm.SendEmail(email));
        EXPECT_NE(std::string(mm.lastErrorText()).find("Mail sending aborted by application"), std::string::npos)
            << mm.lastErrorText();
        EXPECT_EQ(srv.connections(), 0);
        EXPECT_EQ(rec.percents.back(), 100) << "the bar is finished even on failure";
    }
    // A silent server: with heartbeats on, the host's abort check ends the
    // wait long before the read time-out.
    {
        ScriptedSmtpServer srv;
        srv.silence(8000);
        srv.start();
        Recorder rec;
        rec.abortOnCheck = true;
        VmMailMan mm;
        pointAt(mm, srv);
        mm.put_HeartbeatMs(100);
        mm.put_EventCallbackObject(&rec);
        VmEmail email;
        compose(email);
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_FALSE(mm.SendEmail(email));
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
        EXPECT_LT(ms, 5000);
        EXPECT_GE(rec.abortChecks, 1);
        std::string log = mm.lastErrorText();
        EXPECT_NE(log.find("Aborted by application"), std::string::npos) << log;
        EXPECT_NE(log.find("Failed to connect to SMTP server."), std::string::npos) << log;
    }
}

}  // namespace
}  // namespace ostmail
