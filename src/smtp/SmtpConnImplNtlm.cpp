#include "core/ContentCoding.h"
#include "core/DataBuffer.h"
#include "core/LogBase.h"
#include "platform/SysInfo.h"
#include "smtp/ClsNtlm.h"
#include "smtp/SmtpConnImpl.h"
#include "smtp/VelmoraSSPI.h"

namespace ostmail {

namespace {

const char kLogonDenied[] = "Logon denied.  Check username, password, and domain";

// The base64 after "334 " of a reply line.
void decodeChallenge(const StringBuffer& line, DataBuffer& out) {
    if (line.getSize() > 4) ContentCoding::decodeBase64(line.getString() + 4, line.getSize() - 4, out);
}

// The own message builder serves only a service account with an explicit
// login; everyone else goes through the security package.
bool useOwnNtlm(XString& login) {
    StringBuffer trimmed(login.getAnsi());
    trimmed.trimWhitespace();
    return platform::userName() == "SYSTEM" && !trimmed.isEmpty() && !trimmed.equalsIgnoreCase("default");
}

}  // namespace

bool SmtpConnImpl::authNtlm(XString& domain, XString& login, XString& password, LogBase& log, bool& fallback,
                            ProgressMonitor* pm, SocketFlags& flags) {
    fallback = false;
    if (!sendCommand("AUTH NTLM\r\n", 334, log, pm, flags)) {
        log.LogError("Failed to send AUTH NTLM");
        logTranscript(log);
        return false;
    }
    bool ok;
    if (useOwnNtlm(login)) {
        log.LogInfo("Using Velmora NTLM...");
        ok = ownNtlmExchange(domain, login, password, log, pm, flags);
    } else {
        log.LogInfo("Using Microsoft SSPI NTLM.");
        ok = packageExchange("NTLM", domain, login, password, log, fallback);
        if (fallback) return false;
    }
    if (!ok) log.LogError("NTLM authentication failed");
    return ok;
}

bool SmtpConnImpl::authMsn(XString& domain, XString& login, XString& password, LogBase& log, bool& fallback,
                           ProgressMonitor* pm, SocketFlags& flags) {
    VelmoraSSPI sspi;
    if (sspi.packageIndex("MSN") < 0) {
        fallback = true;
        return false;
    }
    fallback = false;
    if (!sendCommand("AUTH MSN\r\n", 334, log, pm, flags)) {
        log.LogError("Failed to send AUTH MSN");
        logTranscript(log);
        return false;
    }
    bool ok = packageExchange("MSN", domain, login, password, log, fallback);
    if (!ok && !fallback) log.LogError("MSN authentication failed");
    return ok;
}

// The security package drives the exchange through exchangePackage and
// sendFinal; fallback is set when it is not installed.
bool SmtpConnImpl::packageExchange(const char* package, XString& domain, XString& login, XString& password,
                                   LogBase& log, bool& fallback) {
    VelmoraSSPI sspi;
    int index = sspi.packageIndex(package);
    if (index < 0) {
        fallback = true;
        return false;
    }
    fallback = false;
    sspi.choosePackage(index);
    return sspi.authenticate(domain, login, password, *this, log);
}

bool SmtpConnImpl::ownNtlmExchange(XString& domain, XString& login, XString& password, LogBase& log,
                                   ProgressMonitor* pm, SocketFlags& flags) {
    ClsNtlm ntlm;
    ntlm.put_UserName(login);
    ntlm.put_Password(password);
    ntlm.put_Domain(domain);
    XString workstation;
    workstation.setFromAnsi(platform::computerName().c_str());
    if (!workstation.isEmpty()) ntlm.put_Workstation(workstation);

    XString type1;
    ntlm.GenType1(type1, log);
    StringBuffer line(type1.getUtf8());
    line.append("\r\n");
    if (!sendUnrecorded(line.getString(), line.getSize(), log, pm)) {
        log.LogError("Failed to send NTLM TYPE1 message to SMTP server.");
        return false;
    }
    if (!readSingleLineReply(334, line, log, pm, flags)) {
        log.LogError("Failed to send NTLM TYPE1 response from SMTP server.");
        return false;
    }
    StringBuffer challenge(line.getString() + (line.getSize() > 4 ? 4 : line.getSize()));
    challenge.trimWhitespace();
    log.LogData("NtlmChallenge", challenge.getString());
    XString type2, type3;
    type2.setFromSb(challenge);
    if (!ntlm.GenType3(type2, type3, log)) return false;
    line.setString(type3.getUtf8());
    line.append("\r\n");
    if (!sendUnrecorded(line.getString(), line.getSize(), log, pm)) {
        log.LogError("Failed to send NTLM TYPE3 message to SMTP server.");
        return false;
    }
    if (!readSingleLineReply(235, line, log, pm, flags)) {
        line.trimWhitespace();
        log.LogData("response", line.getString());
        log.LogError(kLogonDenied);
        return false;
    }
    log.LogInfo("NTLM authentication succeeded.");
    return true;
}

bool SmtpConnImpl::exchangePackage(const DataBuffer& toSend, DataBuffer& received, LogBase& log) {
    SocketFlags flags;
    if (!sendBase64Line(toSend.getData(), toSend.getSize(), log, nullptr)) {
        log.LogError("exchangePackage: failed to send package on socket");
        return false;
    }
    StringBuffer line;
    if (!readSingleLineReply(334, line, log, nullptr, flags)) {
        log.LogError("exchangePackage: failed to get success response");
        return false;
    }
    decodeChallenge(line, received);
    return true;
}

bool SmtpConnImpl::sendFinal(const DataBuffer& toSend, LogBase& log) {
    SocketFlags flags;
    if (!sendBase64Line(toSend.getData(), toSend.getSize(), log, nullptr)) {
        log.LogError("sendFinal: failed to send package on socket");
        return false;
    }
    StringBuffer line;
    if (!readSingleLineReply(235, line, log, nullptr, flags)) {
        line.trimWhitespace();
        log.LogData("response", line.getString());
        log.LogError(kLogonDenied);
        return false;
    }
    return true;
}

}  // namespace ostmail
