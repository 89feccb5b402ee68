// Sends one message with the Linux-native API:
//
//   ostmail_send HOST PORT FROM TO [FILE]
//
// STARTTLS is taken when the server offers it and the certificate must
// verify: OSTMAIL_STARTTLS=1 requires STARTTLS, =implicit asks for TLS from
// the first byte, =0 for plain SMTP; OSTMAIL_INSECURE=1 accepts any certificate;
// OSTMAIL_USER/OSTMAIL_PASSWORD to log in (OSTMAIL_MECHANISM to choose how),
// and OSTMAIL_CA or OSTMAIL_CA_DIR to trust a private CA. OSTMAIL_LOG=1
// prints the activity log when the send fails. Exit status 0 sent, 1 not
// sent, 2 usage.
#include <ostmail/ostmail.h>

#include <cstdlib>
#include <iostream>
#include <string>

static std::string env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

int main(int argc, char** argv) {
    if (argc < 5) {
        std::cerr << "usage: ostmail_send HOST PORT FROM TO [FILE]\n";
        return 2;
    }
    ostmail::SmtpSettings server;
    server.setHost(argv[1]);
    server.setPort(std::atoi(argv[2]));
    std::string tls = env("OSTMAIL_STARTTLS");
    if (tls == "1") server.setSecurity(ostmail::Security::StartTls);
    if (tls == "implicit") server.setSecurity(ostmail::Security::ImplicitTls);
    if (tls == "0") server.setSecurity(ostmail::Security::None);
    if (env("OSTMAIL_INSECURE") == "1") server.setRequireValidCertificate(false);
    if (!env("OSTMAIL_CA").empty()) server.setTrustFile(env("OSTMAIL_CA"));
    if (!env("OSTMAIL_CA_DIR").empty()) server.setTrustFolder(env("OSTMAIL_CA_DIR"));
    if (!env("OSTMAIL_USER").empty())
        server.setLogin(env("OSTMAIL_USER"), env("OSTMAIL_PASSWORD"), env("OSTMAIL_MECHANISM"));

    ostmail::Message msg;
    msg.setFrom(argv[3], "Ostmail example");
    msg.addTo(argv[4]);
    msg.setSubject("Greetings from ostmail \xE2\x9C\x89");
    msg.setText("Hello,\n\nthis message was sent with the ostmail C++ API.\n");
    msg.setHtml("<p>Hello,</p><p>this message was sent with the <b>ostmail</b> C++ API.</p>\n");
    msg.attachData("hello.txt", "attached from memory\n", "text/plain");
    if (argc > 5) msg.attachFile(argv[5]);

    ostmail::SendResult result = ostmail::send(server, msg, [](int percent) {
        std::cerr << "\rsent " << percent << "%";
        return true;  // false would abort the send
    });
    std::cerr << '\n';
    if (!result.ok()) {
        std::cerr << "not sent: " << result.reason() << '\n';
        if (env("OSTMAIL_LOG") == "1") std::cerr << result.log() << '\n';
        return 1;
    }
    for (const std::string& a : result.accepted()) std::cout << "accepted " << a << '\n';
    for (const std::string& r : result.refused()) std::cout << "refused " << r << '\n';
    return 0;
}
