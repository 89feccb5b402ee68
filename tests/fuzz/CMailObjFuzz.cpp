// Whatever wide text a host sets, DoMail returns 0 or -1: code points past
// Unicode, lone surrogates and negative values in every property, lists with
// any separators, inline image names in the HTML, and a real attachment.
#include "FuzzInput.h"
#include "ostmail/CMailObj.h"
#include "support/ScratchDir.h"
#include "support/ScriptedSmtpServer.h"

using namespace ostmail;

namespace {

// The host's view plus the inline image list that subclasses fill.
class HostMail : public CMailObj {
public:
    using CMailObj::AddId;
    std::list<std::wstring>& inlineImages() { return m_inlineImages; }
};

}  // namespace

void fuzzTarget(fuzz::FuzzInput& in) {
    static const testsupport::ScratchDir dir;
    static const std::string attached = dir.write("attached.txt", "attached\r\n");
    uint8_t settings = in.byte();
    bool four = settings & 1;
    testsupport::ScriptedSmtpServer server;
    server.reply("220 fuzz").serveRest();
    server.start();

    HostMail mail;
    mail.SetServer(L"127.0.0.1");
    mail.SetPortNum(server.port());
    mail.SetRetryVal(0);
    mail.SetTimeoutInt(0);
    using Setter = void (CMailObj::*)(std::wstring);
    if (settings & 2)
        for (Setter set : {&CMailObj::SetUserName, &CMailObj::SetPasswd}) (mail.*set)(in.wideField(four));
    for (Setter set : {&CMailObj::SetSender, &CMailObj::SetSenderAddr, &CMailObj::SetRecipAddr, &CMailObj::SetRecipCC,
                       &CMailObj::SetSubject, &CMailObj::SetBody})
        (mail.*set)(in.wideField(four));
    std::wstring attachments = in.wideField(four);
    if (settings & 4) attachments = L";" + attachments + L";" + std::wstring(attached.begin(), attached.end());
    mail.SetAttachment(attachments);
    std::wstring html = in.wideField(four);
    if (settings & 8) {
        mail.inlineImages().push_back(in.wideField(four));
        mail.AddId(html);
    }
    mail.SetBodyHTML(html);
    int rc = mail.DoMail();
    fuzz::showLog("DoMail " + std::to_string(rc) + "\n" + server.transcript());
}
