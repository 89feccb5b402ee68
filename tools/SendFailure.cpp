#include "SendFailure.h"

#include "SendmailMode.h"
#include "facade/VmMailMan.h"

#include <cstdlib>

namespace ostmail {
namespace cli {

namespace {

// The value after "label: " on a line of the activity log; "" when absent.
std::string logValue(const std::string& log, const char* label) {
    size_t at = log.rfind(std::string(label) + ": ");
    if (at == std::string::npos) return "";
    at += std::string(label).size() + 2;
    return log.substr(at, log.find_first_of("\r\n", at) - at);
}

// The socket errors a send meets, in words; the log keeps their numbers.
const char* socketWords(int number) {
    switch (number) {
    case 10061: return "the connection was refused";
    case 10060: return "the connection timed out";
    case 10065: return "the host cannot be reached";
    case 10051: return "the network cannot be reached";
    case 10050: return "the network is down";
    case 10054: return "the server reset the connection";
    case 10053: return "the connection was broken off";
    case 10013: return "the connection was not permitted";
    default: return nullptr;
    }
}

std::string firstLine(const std::string& text) {
    std::string line = text.substr(0, text.find_first_of("\r\n"));
    return line;
}

}  // namespace

bool SendFailure::retryable() const { return m_retry; }

SendFailure SendFailure::of(VmMailMan& mm, bool ok) {
    SendFailure f;
    std::string log = mm.lastErrorText(), reply = firstLine(mm.lastSmtpReply());
    int code = mm.get_LastSmtpStatus(), bad = mm.get_NumBadAddresses();
    if (code == 0) code = std::atoi(reply.c_str());  // a refused greeting or login
    for (int i = 0; i < bad; ++i) f.m_lines.push_back(std::string("recipient refused: ") + mm.badAddress(i));
    std::string server = logValue(log, "smtp_host") + ":" + logValue(log, "smtp_port");
    int sockError = std::atoi(logValue(log, "sockError").c_str());
    std::string why;
    if (ok) {
        f.m_status = bad ? kExNoUser : kExOk;
        if (bad) f.m_lines.push_back("the message was sent to the other recipients");
        return f;
    }
    if (log.find("Cannot get host by name") != std::string::npos) {
        f.m_status = kExNoHost, why = "unknown host " + logValue(log, "hostname");
    } else if (log.find("DNS timed out") != std::string::npos) {
        f.m_status = kExTempFail, why = "no answer from DNS for " + logValue(log, "smtp_host");
    } else if (socketWords(sockError) && code == 0) {
        f.m_status = sockError == 10060 ? kExTempFail : kExUnavailable;
        why = std::string(socketWords(sockError)) + " (" + server + ")";
        f.m_retry = true;
    } else if (log.find("server certificate") != std::string::npos) {
        f.m_status = kExUnavailable;
        why = "the certificate of " + server + " was not accepted (ca-file? -v tells more)";
    } else if (log.find("Failed to establish TLS connection") != std::string::npos) {
        f.m_status = kExUnavailable, why = "no TLS connection could be made with " + server + " (-v tells more)";
    } else if (code == 535 || code == 530 || code == 534) {
        f.m_status = kExNoPerm, why = "the server refused the login: " + reply;
    } else if (code >= 400 && code < 500) {
        f.m_status = kExTempFail, why = "the server said to try later: " + reply;
    } else if (bad > 0 && code >= 500) {
        f.m_status = kExNoUser, why = "every recipient was refused: " + reply;
    } else if (code >= 500) {
        f.m_status = kExUnavailable, why = "the server refused the message: " + reply;
    } else if (log.find("timed out") != std::string::npos || log.find("Timed out") != std::string::npos ||
               log.find("ReadTimeout") != std::string::npos) {
        f.m_status = kExTempFail, why = "no reply from " + server + " in time";
    } else {
        f.m_status = kExUnavailable;
        why = "the connection to " + server + " failed" + (reply.empty() ? "" : ": " + reply) + " (-v tells more)";
    }
    f.m_retry = f.m_retry || f.m_status == kExTempFail;
    f.m_lines.push_back("the message was not sent: " + why);
    return f;
}

}  // namespace cli
}  // namespace ostmail
