// A host program that sends one message through the shared library, using
// nothing but the public header.
//
//   ostmail_host SERVER PORT FROM TO [ATTACHMENTS] [SUBJECT]
//
// TO and ATTACHMENTS are ';'-separated lists. OSTMAIL_USER and
// OSTMAIL_PASSWORD, when set, log in. Exit status: 0 sent, 1 not.
#include <ostmail/CMailObj.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <string>

static std::wstring wide(const char* text) {
    std::wstring out(std::mbstowcs(nullptr, text, 0) + 1, L'\0');
    size_t n = std::mbstowcs(&out[0], text, out.size());
    out.resize(n == static_cast<size_t>(-1) ? 0 : n);
    return out;
}

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: %s SERVER PORT FROM TO [ATTACHMENTS] [SUBJECT]\n", argv[0]);
        return 2;
    }
    std::setlocale(LC_ALL, "");
    CMailObj mail;
    mail.SetServer(wide(argv[1]));
    mail.SetPortNum(std::atoi(argv[2]));
    mail.SetSenderAddr(wide(argv[3]));
    mail.SetSender(L"Ostmail example host");
    mail.SetRecipAddr(wide(argv[4]));
    if (const char* user = std::getenv("OSTMAIL_USER")) {
        const char* password = std::getenv("OSTMAIL_PASSWORD");
        mail.SetUserName(wide(user));
        mail.SetPasswd(wide(password ? password : ""));
    }
    if (argc > 5) mail.SetAttachment(wide(argv[5]));
    mail.SetSubject(argc > 6 ? wide(argv[6]) : L"Hello from the Ostmail example host");
    mail.SetBody(L"This message was sent by examples/host.cpp through libostmail.\r\n");
    mail.SetRetryVal(1);
    mail.SetTimeoutInt(2);
    int rc = mail.DoMail();
    std::printf("DoMail returned %d\n", rc);
    if (rc != 0) std::fprintf(stderr, "%ls", CMailObj::LastLog().c_str());
    return rc == 0 ? 0 : 1;
}
