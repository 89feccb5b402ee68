// Sends one message with the Linux-native API:
//
//   ostmail_send HOST PORT FROM TO [FILE]
//
// STARTTLS when the server offers it is not assumed: set OSTMAIL_STARTTLS=1
// to ask for it, OSTMAIL_USER/OSTMAIL_PASSWORD to log in, and OSTMAIL_CA to
// trust a private CA. Exit status 0 sent, 1 not sent, 2 usage.
#include <ostmail/ostmail.h>

#include <cstdlib>
#include <iostream>
#include <string>

int main(int argc, char** argv) {
    if (argc < 5) {
        std::cerr << "usage: ostmail_send HOST PORT FROM TO [FILE]\n";
        return 2;
    }
    ostmail::SmtpSettings server;
    server.setHost(argv[1]);
    server.setPort(std::atoi(argv[2]));
    if (const char* tls = std::getenv("OSTMAIL_STARTTLS"); tls && std::string(tls) == "1") {
        server.setSecurity(ostmail::Security::StartTls);
        server.setRequireValidCertificate(true);
    }
    if (const char* ca = std::getenv("OSTMAIL_CA")) server.setTrustFile(ca);
    if (const char* user = std::getenv("OSTMAIL_USER")) {
        const char* password = std::getenv("OSTMAIL_PASSWORD");
        server.setLogin(user, password ? password : "");
    }

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
        return 1;
    }
    for (const std::string& a : result.accepted()) std::cout << "accepted " << a << '\n';
    for (const std::string& r : result.refused()) std::cout << "refused " << r << '\n';
    return 0;
}
