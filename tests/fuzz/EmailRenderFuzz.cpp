// Any text a host puts into a message, and any attachment file name,
// renders, and the header stays a header: every line ends in CRLF, and every
// line that does not continue a field starts one with a colon, so no value
// can break out into a field or the body.
#include "FuzzInput.h"
#include "facade/VmEmail.h"
#include "support/ScratchDir.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>

using namespace ostmail;

void fuzzTarget(fuzz::FuzzInput& in) {
    uint8_t settings = in.byte(), attach = in.byte();
    VmEmail email;
    email.put_Utf8(settings & 1);
    const std::string charset = in.field();
    if (settings & 2) email.put_Charset(charset.c_str());
    for (auto put : {&VmEmail::put_Subject, &VmEmail::put_Body, &VmEmail::put_FromName, &VmEmail::put_FromAddress})
        (email.*put)(in.field().c_str());
    std::string toName = in.field(), toAddress = in.field(), ccList = in.field(), fieldName = in.field(),
                fieldValue = in.field(), fileName = in.field(), fileData = in.field(), html = in.rest();
    email.AddTo(toName.c_str(), toAddress.c_str());
    email.AddCC("", ccList.c_str());
    if (settings & 4) email.AddBcc(toName.c_str(), ccList.c_str());
    if (settings & 8) email.AddHeaderField(fieldName.c_str(), fieldValue.c_str());
    if (settings & 16) email.SetHtmlBody(html.c_str());
    if (settings & 32) email.AddPlainTextAlternativeBody(fieldValue.c_str());
    if (settings & 64) email.AddHtmlAlternativeBody(html.c_str());
    if (settings & 128) email.put_Charset(charset.c_str());
    if (attach & 1) {
        // A file named by the input, holding its bytes; the folder serves every input of the run.
        static testsupport::ScratchDir dir;
        std::string name = fileName.substr(0, 200);
        std::replace_if(name.begin(), name.end(), [](char c) { return c == '/' || c == '\0'; }, '_');
        if (name.empty() || name == "." || name == "..") name += "a";
        const std::string path = dir.write(name, fileData);
        email.addFileAttachment(path.c_str());
        if (attach & 2) email.addFileAttachment(path.c_str());
        unlink(path.c_str());
    }
    const char* mime = email.getMime();
    if (!mime) return;
    const char* end = strstr(mime, "\r\n\r\n");
    const std::string head(mime, end ? end + 2 : mime + strlen(mime));
    // A CR or LF outside a CRLF, or a line that neither continues a field nor has a colon.
    for (size_t i = head.find_first_of("\r\n"); i != std::string::npos; i = head.find_first_of("\r\n", i + 2))
        if (head.compare(i, 2, "\r\n") != 0) abort();
    for (size_t at = 0, eol; (eol = head.find("\r\n", at)) != std::string::npos; at = eol + 2)
        if (head[at] != ' ' && head[at] != '\t' && head.find(':', at) >= eol) abort();
}
