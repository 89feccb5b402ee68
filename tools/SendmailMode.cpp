#include "SendmailMode.h"

#include "ConfigFile.h"
#include "DkimCommand.h"
#include "MessageText.h"
#include "Secrets.h"
#include "facade/VmMailMan.h"
#include "platform/Process.h"
#include "platform/SysInfo.h"

#include <cstdio>
#include <cstring>

namespace ostmail {
namespace cli {

namespace {

struct SendmailArgs {
    bool fromHeaders = false;
    bool ignoreDots = false;
    std::string envelopeFrom, fullName;
    std::vector<std::string> recipients;
};

// Options that take a value, glued ("-fADDR") or as the next argument.
bool takeValue(const std::vector<std::string>& args, size_t& i, std::string& out) {
    if (args[i].size() > 2) {
        out = args[i].substr(2);
        return true;
    }
    if (i + 1 >= args.size()) return false;
    out = args[++i];
    return true;
}

bool parseArgs(const std::vector<std::string>& args, SendmailArgs& s, SendOptions& o, std::string& error) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        std::string v;
        if (a == "--") {
            s.recipients.insert(s.recipients.end(), args.begin() + static_cast<long>(i) + 1, args.end());
            return true;
        }
        if (a.empty() || a[0] != '-') {
            for (const std::string& r : addressesIn(a)) s.recipients.push_back(r);
            continue;
        }
        bool ok = true;
        if (a == "-t") s.fromHeaders = true;
        else if (a == "-i" || a == "-oi") s.ignoreDots = true;
        else if (a == "-v") o.verbose = true;
        else if (a == "--account" || a == "--config") {
            ok = i + 1 < args.size();
            if (ok) (a == "--account" ? o.account : o.config) = args[++i];
        } else if (a.rfind("-o", 0) == 0 || a == "-bm" || a == "-em") continue;  // queue hints
        else if (a[1] == 'f' && (ok = takeValue(args, i, v))) s.envelopeFrom = v;
        else if (a[1] == 'F' && (ok = takeValue(args, i, v))) s.fullName = v;
        else if (a[1] == 'N' && (ok = takeValue(args, i, v))) o.dsnNotify = v;
        else if (a[1] == 'R' && (ok = takeValue(args, i, v))) o.dsnRet = v;
        else if (a[1] == 'V' && (ok = takeValue(args, i, v))) o.dsnEnvid = v;
        else return error = "unknown option '" + a + "'", false;
        if (!ok) return error = "option " + a + " needs a value", false;
    }
    return true;
}

int exitForFailure(VmMailMan& mm) {
    int status = mm.get_LastSmtpStatus();
    std::string log = mm.lastErrorText();
    if (log.find("Cannot get host by name") != std::string::npos || log.find("DNS lookup") != std::string::npos)
        return kExNoHost;
    if (status == 535 || status == 530) return kExNoPerm;
    if (status >= 400 && status < 500) return kExTempFail;
    if (status >= 500) return kExUnavailable;
    return log.find("timed out") != std::string::npos ? kExTempFail : kExUnavailable;
}

int send(const SendOptions& o, const std::string& from, const std::vector<std::string>& to,
         const std::string& mime, void (*configure)(VmMailMan&, const SendOptions&)) {
    VmMailMan mm;
    configure(mm, o);
    bool ok = mm.SendMimeToList(from.c_str(), to, mime.c_str());
    if (o.verbose) std::fputs(mm.lastErrorText(), stderr);
    if (ok) return kExOk;
    std::string reply = mm.lastSmtpReply();
    std::fprintf(stderr, "ostmail: the message was not sent%s%s\n", reply.empty() ? "" : ": ", reply.c_str());
    return exitForFailure(mm);
}

}  // namespace

bool loadAccount(SendOptions& opts) {
    std::string error;
    if (ConfigFile::load(opts.config, opts.account, opts, error) && resolvePassword(opts, error) &&
        checkDkim(opts, error))
        return true;
    std::fprintf(stderr, "ostmail: %s\n", error.c_str());
    return false;
}

int runSendmail(const std::vector<std::string>& args, void (*configure)(VmMailMan&, const SendOptions&)) {
    SendOptions o;
    SendmailArgs s;
    std::string error, input;
    SendOptions cli;
    if (!parseArgs(args, s, cli, error)) {
        std::fprintf(stderr, "ostmail sendmail: %s\n", error.c_str());
        return kExUsage;
    }
    o.config = cli.config;
    o.account = cli.account;
    if (!loadAccount(o)) return kExConfig;
    o.verbose = o.verbose || cli.verbose;
    for (std::string SendOptions::*f : {&SendOptions::dsnNotify, &SendOptions::dsnRet, &SendOptions::dsnEnvid})
        if (!(cli.*f).empty()) o.*f = cli.*f;
    if (o.server.empty()) {
        std::fputs("ostmail sendmail: no server: give one in the configuration file\n", stderr);
        return kExConfig;
    }
    MessageText message;
    if (!platform::readStdin(input) || !message.parse(input, s.ignoreDots, error)) {
        std::fprintf(stderr, "ostmail sendmail: %s\n", error.empty() ? "cannot read standard input" : error.c_str());
        return kExDataErr;
    }
    if (s.fromHeaders)
        for (const std::string& r : message.takeHeaderRecipients()) s.recipients.push_back(r);
    if (s.recipients.empty()) {
        std::fputs("ostmail sendmail: no recipients\n", stderr);
        return s.fromHeaders ? kExDataErr : kExUsage;
    }
    std::string host = platform::computerName().empty() ? "localhost" : platform::computerName();
    std::string sender = !s.envelopeFrom.empty() ? s.envelopeFrom : o.fromAddress;
    if (sender.empty()) sender = message.fromAddress();
    if (sender.empty()) sender = platform::userName() + "@" + host;
    message.addMissing(s.fullName.empty() ? o.fromName : s.fullName, sender, host);
    return send(o, sender, s.recipients, message.render(), configure);
}

}  // namespace cli
}  // namespace ostmail
