// Whatever wide text a host sets, DoMail returns 0 or -1: code points past
// Unicode, lone surrogates and negative values in every property, lists with
// any separators, inline image names in the HTML, and a real attachment.
#include "FuzzInput.h"
#include "ostmail/CMailObj.h"
#include "support/ScratchDir.h"
#include "support/ScriptedSmtpServer.h"

#include <cstring>
#include <string>

using namespace ostmail;

namespace {

// The host's view plus the inline image list that subclasses fill.
class HostMail : public CMailObj {
public:
    using CMailObj::AddId;
    std::list<std::wstring>& inlineImages() { return m_inlineImages; }
};

// Two or four input bytes per character, so any wchar_t value can occur.
std::wstring wide(const std::string& bytes, bool fourBytes) {
    size_t step = fourBytes ? 4 : 2;
    std::wstring out;
    for (size_t i = 0; i + step <= bytes.size(); i += step) {
        uint32_t v = 0;
        std::memcpy(&v, bytes.data() + i, step);
        out.push_back(static_cast<wchar_t>(v));
    }
    return out;
}

const std::string& attachmentFile() {
    static testsupport::ScratchDir dir;
    static const std::string path = dir.write("attached.txt", "attached\r\n");
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::FuzzInput in(data, size);
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
        for (Setter set : {&CMailObj::SetUserName, &CMailObj::SetPasswd}) (mail.*set)(wide(in.field(), four));
    for (Setter set : {&CMailObj::SetSender, &CMailObj::SetSenderAddr, &CMailObj::SetRecipAddr, &CMailObj::SetRecipCC,
                       &CMailObj::SetSubject, &CMailObj::SetBody})
        (mail.*set)(wide(in.field(), four));
    std::wstring attachments = wide(in.field(), four);
    if (settings & 4) attachments = std::wstring(L";") + attachments + L";" + std::wstring(attachmentFile().begin(), attachmentFile().end());
    mail.SetAttachment(attachments);
    std::wstring html = wide(in.field(), four);
    if (settings & 8) {
        mail.inlineImages().push_back(wide(in.field(), four));
        mail.AddId(html);
    }
    mail.SetBodyHTML(html);
    int rc = mail.DoMail();
    fuzz::showLog("DoMail " + std::to_string(rc) + "\n" + server.transcript());
    return 0;
}
