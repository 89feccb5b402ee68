// A server's NTLM challenge (Type 2) is untrusted: whatever it holds, the
// answer is made or refused without reading outside the message.
#include "FuzzInput.h"
#include "core/DataBuffer.h"
#include "core/Logger.h"
#include "smtp/ClsNtlm.h"

using namespace ostmail;

void fuzzTarget(fuzz::FuzzInput& in) {
    uint8_t settings = in.byte();
    ClsNtlm ntlm;
    ntlm.put_NtlmVersion(settings & 1 ? 2 : 1);
    ntlm.put_LenientType2(settings & 2);
    if (settings & 4) ntlm.SetFlag(ClsNtlm::kFlagUnicode, false);
    if (settings & 8) ntlm.put_OemCodePage(932);
    for (auto put : {&ClsNtlm::put_UserName, &ClsNtlm::put_Password, &ClsNtlm::put_Domain}) {
        XString text = fuzz::utf8Text(in.field());
        (ntlm.*put)(text);
    }

    Logger log;
    std::string type2 = in.rest();
    if (settings & 16) {
        XString b64 = fuzz::utf8Text(type2), answer;
        ntlm.GenType3(b64, answer, log);
    } else {
        DataBuffer msg, answer;
        msg.append(type2.data(), static_cast<uint32_t>(type2.size()));
        ntlm.genType3Bytes(msg, answer, log);
    }
    XString names;
    ntlm.get_TargetName(names);
    ntlm.get_DnsDomainName(names);
    StringBuffer rendered;
    log.GetText(rendered);
}
