// Built against an installed Ostmail only (through find_package or
// pkg-config) and run against the test Exim: both public APIs link, and a
// send through each reaches the server. What the messages hold is checked by
// the tests built in the tree. Prints "PASS name" or "FAIL name: why" per case.
#include <ostmail/CMailObj.h>
#include <ostmail/ostmail.h>

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <string>

namespace {

std::map<std::string, std::string> g_env;

// "PASS name", or "FAIL name: why" (failure, or no arrival of the token);
// true when it passed. Exim logs a message's arrival, with its subject,
// before it answers the data, so the line is there once the send returned.
bool report(const char* name, std::string failure, const std::string& token) {
    std::ifstream in(g_env["OSTMAIL_EXIM_LOG"], std::ios::binary);
    std::string log(std::istreambuf_iterator<char>(in), {});
    if (failure.empty() && log.find("T=\"" + token + "\"") == std::string::npos) failure = "no arrival in Exim's log";
    std::cout << (failure.empty() ? "PASS " : "FAIL ") << name << (failure.empty() ? "" : ": " + failure) << std::endl;
    return failure.empty();
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
    s.setTrustFile(g_env["OSTMAIL_CA_FILE"]);  // STARTTLS is taken, and the test CA must be trusted
    ostmail::Message m;
    m.setFrom("consumer@example.test", "Consumer");
    const ostmail::Mailbox to = ostmail::Mailbox::parse("One <one@example.test>");
    m.addTo(to.address(), to.name());
    m.setSubject(tok);
    m.setText("sent through ostmail::send\n");
    m.attachData("report.csv", "a,b\n1,2\n", "text/csv");
    const ostmail::RenderResult text = ostmail::render(m);
    ostmail::SendResult r = ostmail::send(s, m);
    bool ok = report("send", r.ok() && text.ok && r.error() == ostmail::SendError::None ? "" : r.reason(), tok);

    CMailObj job;
    job.SetServer(std::wstring(host.begin(), host.end()));
    job.SetPortNum(port);
    job.SetSenderAddr(L"cmail@example.test");
    job.SetRecipAddr(L"one@example.test");
    job.SetSubject(std::wstring(tok2.begin(), tok2.end()));
    job.SetBody(L"sent through CMailObj");
    ok = report("cmailobj", job.DoMail() == 0 ? "" : "not sent", tok2) && ok;
    return ok ? 0 : 1;
}
