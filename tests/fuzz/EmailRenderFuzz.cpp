// Any text a host puts into a message, and any attachment file name,
// renders, and the header stays a header: every line ends in CRLF, and every
// line that does not continue a field starts one with a colon, so no value
// can break out into a field or the body.
#include "FuzzInput.h"
#include "facade/VmEmail.h"
#include "support/ScratchDir.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

using namespace ostmail;

namespace {

void checkHeader(const char* mime) {
    if (!mime) return;
    const char* end = strstr(mime, "\r\n\r\n");
    size_t n = end ? static_cast<size_t>(end - mime) + 2 : strlen(mime);
    size_t lineStart = 0;
    for (size_t i = 0; i < n; ++i) {
        bool cr = mime[i] == '\r', lf = mime[i] == '\n';
        if ((cr && mime[i + 1] != '\n') || (lf && (i == 0 || mime[i - 1] != '\r'))) abort();
        if (!lf) continue;
        const char* line = mime + lineStart;
        bool continues = *line == ' ' || *line == '\t';
        if (!continues && !memchr(line, ':', i - lineStart)) abort();
        lineStart = i + 1;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::FuzzInput in(data, size);
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
    checkHeader(email.getMime());
    return 0;
}
