// Built against an installed Ostmail only (through find_package or
// pkg-config) and run against the test Exim: both public APIs link, and a
// send through each is delivered. What the messages hold is checked by the
// tests built in the tree. Prints "PASS name" or "FAIL name: why" per case.
#include <ostmail/CMailObj.h>
#include <ostmail/ostmail.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <string>
#include <thread>

namespace {

std::map<std::string, std::string> g_env;

// "PASS name", or "FAIL name: why" when the send failed or no delivered copy
// holds token within ten seconds; true when it passed.
bool report(const char* name, bool sent, const std::string& token) {
    std::string why = sent ? "not delivered" : "not sent";
    for (int i = 0; sent && !why.empty() && i < 200; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(50)))
        for (const char* sub : {"/new", "/cur"}) {
            std::error_code ec;
            for (auto& e : std::filesystem::directory_iterator(g_env["OSTMAIL_MAILDIR"] + sub, ec)) {
                std::ifstream in(e.path(), std::ios::binary);
                if (std::string(std::istreambuf_iterator<char>(in), {}).find(token) != std::string::npos) why = "";
            }
        }
    std::cout << (why.empty() ? "PASS " : "FAIL ") << name << (why.empty() ? "" : ": " + why) << std::endl;
    return why.empty();
}

}  // namespace

int main() {
    const char* path = std::getenv("OSTMAIL_TEST_ENV");
    std::ifstream in(path ? path : "");
    for (std::string line; std::getline(in, line);) {
        size_t eq = line.find("='");
        if (eq != std::string::npos && line.size() > eq + 2)
            g_env[line.substr(0, eq)] = line.substr(eq + 2, line.size() - eq - 3);
    }
    if (g_env["OSTMAIL_SMTP_PORT"].empty()) {
        std::cout << "FAIL setup: OSTMAIL_TEST_ENV missing or empty\n";
        return 1;
    }
    const std::string host = g_env["OSTMAIL_HOST"], pid = std::to_string(::getpid());
    const int port = std::stoi(g_env["OSTMAIL_SMTP_PORT"]);

    const std::string tok = "inst-send-" + pid, tok2 = "inst-cmail-" + pid;
    ostmail::SmtpSettings s;
    s.setHost(host);
    s.setPort(port);
    ostmail::Message m;
    m.setFrom("consumer@example.test", "Consumer");
    m.addTo("one@example.test");
    m.setSubject(tok);
    m.setText("sent through ostmail::send\n");
    m.attachData("report.csv", "a,b\n1,2\n", "text/csv");
    ostmail::SendResult r = ostmail::send(s, m);
    if (!r.ok()) std::cout << r.reason() << "\n";
    bool ok = report("send", r.ok(), tok);

    CMailObj job;
    job.SetServer(std::wstring(host.begin(), host.end()));
    job.SetPortNum(port);
    job.SetSenderAddr(L"cmail@example.test");
    job.SetRecipAddr(L"one@example.test");
    job.SetSubject(std::wstring(tok2.begin(), tok2.end()));
    job.SetBody(L"sent through CMailObj");
    ok = report("cmailobj", job.DoMail() == 0, tok2) && ok;
    return ok ? 0 : 1;
}
