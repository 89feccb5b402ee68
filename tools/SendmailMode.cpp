#include "SendmailMode.h"

#include "Aliases.h"
#include "ConfigFile.h"
#include "DkimCommand.h"
#include "MessageText.h"
#include "Secrets.h"
#include "SendmailArgs.h"
#include "SendFailure.h"
#include "email/AddressList.h"
#include "facade/VmMailMan.h"
#include "smtp/ClsMailMan.h"
#include "platform/Clock.h"
#include "platform/Process.h"
#include "platform/SysInfo.h"

#include <cstdio>

namespace ostmail {
namespace cli {

namespace {

int complain(int status, const std::string& text) {
    std::fprintf(stderr, "ostmail sendmail: %s\n", text.c_str());
    return status;
}

// The modes of sendmail that a client without a queue of its own cannot offer.
int otherMode(const SendmailArgs& a) {
    if (a.mode == SendmailArgs::kAliases)
        return complain(kExOk, "the aliases file is read as it is at every send; there is nothing to build");
    if (a.mode == SendmailArgs::kQueue)
        return complain(kExUnavailable, a.modeOption + ": there is no local queue; every message is sent at once");
    return complain(kExUnavailable, a.modeOption + " is not offered: give the message on standard input");
}

// Words of the command line and, with -t, the header's recipient fields.
bool collectRecipients(const SendmailArgs& a, const MessageText& m, std::vector<std::string>& out, int& status,
                       std::string& error) {
    std::vector<std::pair<std::string, bool>> lists;  // text, from the header
    for (const std::string& w : a.recipients) lists.push_back({w, false});
    if (a.fromHeaders)
        for (const std::string& f : m.recipientFields()) lists.push_back({f.substr(f.find(':') + 1), true});
    for (const auto& l : lists) {
        std::vector<MailboxAddress> boxes;
        std::string why;
        if (!AddressList::parse(l.first, boxes, why)) {
            status = l.second ? kExDataErr : kExUsage;
            return error = std::string(l.second ? "bad recipient field: " : "bad recipient: ") + why, false;
        }
        for (const MailboxAddress& b : boxes)
            if (!b.address.empty()) AddressList::addUnique(out, b.address);
    }
    return true;
}

bool localRecipients(const SendmailArgs& a, const SendOptions& o, std::vector<std::string>& names,
                     std::string& error) {
    if (!o.aliasesFile.empty() && !a.noAliases) {
        Aliases aliases;
        std::vector<std::string> expanded, warnings;
        if (!aliases.load(o.aliasesFile, error) || !aliases.expand(names, expanded, warnings, error)) return false;
        for (const std::string& w : warnings) complain(0, "warning: " + w);
        names.swap(expanded);
    }
    std::vector<std::string> qualified;
    for (const std::string& n : names)
        AddressList::addUnique(qualified, n.find('@') != std::string::npos || o.qualifyDomain.empty()
                                              ? n : n + "@" + o.qualifyDomain);
    names.swap(qualified);
    return true;
}

// -f/-r ("<>" the null sender), the account's from, the message's From,
// or the user at this host.
bool envelopeSender(const SendmailArgs& a, const SendOptions& o, const MessageText& m, const std::string& host,
                    std::string& sender, std::string& error) {
    std::vector<MailboxAddress> boxes;
    std::string text = a.haveSender ? a.sender : o.fromAddress;
    if (text.empty() && !a.haveSender) text = m.fieldValue("From");
    if (!text.empty() && !AddressList::parse(text, boxes, error))
        return a.haveSender ? (error = "bad value for -f: " + error, false) : (boxes.clear(), true);
    if (a.haveSender && (text.empty() || (!boxes.empty() && boxes[0].address.empty()))) return sender.clear(), true;
    sender = boxes.empty() ? platform::userName() : boxes[0].address;
    if (sender.find('@') == std::string::npos) sender += "@" + (o.qualifyDomain.empty() ? host : o.qualifyDomain);
    return true;
}

std::string qualifiedHost(const SendOptions& o) {
    std::string host = platform::computerName().empty() ? "localhost" : platform::computerName();
    if (host.find('.') == std::string::npos && !o.qualifyDomain.empty()) host += "." + o.qualifyDomain;
    return host;
}

bool loadForSendmail(const SendmailArgs& a, SendOptions& o) {
    std::string error;
    o.config = a.config;
    o.account = a.account;
    if (!ConfigFile::load(o.config, o.account, o, error, true) || !resolvePassword(o, error) ||
        !checkDkim(o, error))
        return complain(0, error), false;
    o.verbose = o.verbose || a.verbose;
    if (!a.dsnNotify.empty()) o.dsnNotify = a.dsnNotify;
    if (!a.dsnRet.empty()) o.dsnRet = a.dsnRet;
    if (!a.dsnEnvid.empty()) o.dsnEnvid = a.dsnEnvid;
    if (o.server.empty()) return complain(0, "no server: give one in the configuration file"), false;
    return true;
}

int send(const SendOptions& o, const std::string& from, const std::vector<std::string>& to,
         const std::string& mime, void (*configure)(VmMailMan&, const SendOptions&)) {
    VmMailMan mm;
    configure(mm, o);
    bool eightBit = false;
    for (char c : mime) eightBit = eightBit || (static_cast<unsigned char>(c) & 0x80);
    mm.impl()->put_Body8Bit(eightBit);
    SendFailure failure;
    bool ok = false;
    for (int attempt = 0;; ++attempt) {
        mm.impl()->ClearBadEmailAddresses();
        ok = mm.SendMimeToList(from.c_str(), to, mime.c_str());
        failure = SendFailure::of(mm, ok);
        if (ok || !failure.retryable() || attempt >= o.retries) break;
        platform::sleepMs(static_cast<uint32_t>(o.retryWait) * 1000u);
    }
    if (o.verbose) std::fputs(mm.lastErrorText(), stderr);
    for (const std::string& line : failure.lines()) complain(0, line);
    return failure.status();
}

}  // namespace

int runSendmail(const std::vector<std::string>& args, void (*configure)(VmMailMan&, const SendOptions&)) {
    SendmailArgs a;
    std::string error, input;
    if (!parseSendmailArgs(args, a, error)) return complain(kExUsage, error);
    if (a.mode != SendmailArgs::kSend) return otherMode(a);
    SendOptions o;
    if (!loadForSendmail(a, o)) return kExConfig;
    MessageText message;
    if (!platform::readStdin(input)) return complain(kExDataErr, "cannot read standard input");
    if (!message.parse(input, a.ignoreDots, error)) return complain(kExDataErr, error);
    std::vector<std::string> to;
    int status = kExUsage;
    if (!collectRecipients(a, message, to, status, error)) return complain(status, error);
    if (!localRecipients(a, o, to, error)) return complain(kExConfig, error);
    if (to.empty()) return complain(a.fromHeaders ? kExDataErr : kExUsage, "no recipients");
    std::string host = qualifiedHost(o), sender;
    if (o.helo.empty()) o.helo = host;
    if (!envelopeSender(a, o, message, host, sender, error)) return complain(kExUsage, error);
    message.removeBlindCopies();
    std::string shown = sender.empty() ? platform::userName() + "@" + host : sender;
    message.addMissing(AddressList::format(a.fullName.empty() ? o.fromName : a.fullName, shown), host);
    std::string warning = message.makeSendable();
    if (!warning.empty()) complain(0, "warning: " + warning);
    return send(o, sender, to, message.render(), configure);
}

}  // namespace cli
}  // namespace ostmail
