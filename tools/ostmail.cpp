// ostmail: the command-line front end of the mail toolkit.
#include "CliOptions.h"
#include "CheckCommand.h"
#include "DkimCommand.h"
#include "MxCommand.h"
#include "ConfigFile.h"
#include "Secrets.h"
#include "SendmailMode.h"
#include "ProgressBar.h"
#include "core/DataBuffer.h"
#include "core/Logger.h"
#include "core/StringBuffer.h"
#include "facade/VmEmail.h"
#include "facade/VmMailMan.h"
#include "mailjob/MailJob.h"
#include "platform/Clock.h"
#include "platform/FileSystem.h"
#include "platform/Process.h"
#include "platform/Terminal.h"

#include <cstdio>
#include <cstring>
#include <memory>

using namespace ostmail;

namespace {

enum ExitCode { kSent = 0, kNotSent = 1, kUsage = 2 };

// Verified TLS whenever it can be had; a user who turns a check off is
// told so on every send.
void configureTrust(VmMailMan& mm, const cli::SendOptions& o) {
    bool verify = o.requireCert && !o.insecure;
    mm.put_RequireSslCertVerify(verify);
    mm.put_StartTlsIfOffered(!o.noTls && !o.ssl && !o.startTls);
    mm.put_RefuseClearTextLogin(!o.allowPlaintextLogin);
    mm.put_RequireTls12(true);
    mm.put_SslPinSha256(o.pinSha256.c_str());
    if (!verify && !o.noTls)
        std::fputs("ostmail: warning: the server's certificate is not checked (--insecure): anyone on the path "
                   "can pose as the server\n",
                   stderr);
    if (o.allowPlaintextLogin && !o.user.empty())
        std::fputs("ostmail: warning: the password may cross the network readable (--allow-plaintext-login)\n",
                   stderr);
}

void configureServer(VmMailMan& mm, const cli::SendOptions& o) {
    mm.put_SmtpHost(o.server.c_str());
    mm.put_DualStack(true);
    mm.put_Pipelining(true);
    mm.put_SmtpUtf8(true);
    mm.put_SmtpPort(o.port);
    mm.put_SmtpSsl(o.ssl);
    mm.put_StartTLS(o.startTls);
    configureTrust(mm, o);
    mm.put_SslTrustFile(o.caFile.c_str());
    mm.put_SslTrustFolder(o.caDir.c_str());
    mm.put_SslProtocol(o.tlsProtocol.c_str());
    mm.put_SslCipher(o.tlsCipher.c_str());
    mm.put_SmtpUsername(o.user.c_str());
    mm.put_SmtpPassword(o.password.c_str());
    mm.put_SmtpDomain(o.domain.c_str());
    mm.put_SmtpAuthMethod(o.authMethod.c_str());
    mm.put_HeloHostname(o.helo.c_str());
    mm.put_ConnectTimeout(o.connectTimeout);
    mm.put_ReadTimeout(o.readTimeout);
    mm.put_DsnNotify(o.dsnNotify.c_str());
    mm.put_DsnEnvid(o.dsnEnvid.c_str());
    mm.put_DsnRet(o.dsnRet.c_str());
    mm.put_SentLogPath(o.sentLog.c_str());
    if (!o.socksHost.empty()) {
        mm.put_SocksHostname(o.socksHost.c_str());
        mm.put_SocksPort(o.socksPort);
        mm.put_SocksVersion(o.socksVersion == 0 ? 5 : o.socksVersion);
        mm.put_SocksUsername(o.socksUser.c_str());
        mm.put_SocksPassword(o.socksPassword.c_str());
    }
    mm.put_HttpProxyHostname(o.httpProxyHost.c_str());
    mm.put_HttpProxyPort(o.httpProxyPort);
    mm.put_HttpProxyUsername(o.proxyUser.c_str());
    mm.put_HttpProxyPassword(o.proxyPassword.c_str());
    cli::applyDkim(mm, o);
}

// Mail text has CRLF line ends; a lone LF would go out as "=0A".
std::string withCrlf(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) out += '\r';
        out += text[i];
    }
    return out;
}

// The text, or the file's content when a path is given ("-" is stdin).
bool readText(const std::string& text, const std::string& path, std::string& out) {
    bool ok = path.empty() ? (out = text, true)
              : path == "-" ? platform::readStdin(out)
                            : platform::readWholeFile(path.c_str(), out);
    if (!ok) std::fprintf(stderr, "ostmail: cannot read '%s'\n", path.c_str());
    out = withCrlf(out);
    return ok;
}

bool setBodies(VmEmail& email, const cli::SendOptions& o) {
    std::string body, html;
    if (!readText(o.body, o.bodyFile, body) || !readText(o.html, o.htmlFile, html)) return false;
    if (html.empty()) email.put_Body(body.c_str());
    else if (body.empty()) email.SetHtmlBody(html.c_str());
    else {
        email.put_Body(body.c_str());
        email.AddHtmlAlternativeBody(html.c_str());
    }
    return true;
}

// The bytes of a path, or of standard input for "-", bounded like any stream.
bool readAttachment(const std::string& path, DataBuffer& data) {
    if (path != "-") {
        Logger log;
        if (data.loadFile(path.c_str(), log)) return true;
        StringBuffer text;
        log.GetText(text);
        std::fprintf(stderr, "ostmail: cannot read '%s'\n%s", path.c_str(), text.getString());
        return false;
    }
    std::string bytes;
    if (platform::readStdin(bytes, DataBuffer::kStreamLimit) && data.append(bytes.data(), bytes.size())) return true;
    std::fputs("ostmail: cannot read standard input (or it is over 64 MiB)\n", stderr);
    return false;
}

// A file keeps its own name unless name= is given; standard input is
// named "stdin".
bool attach(VmEmail& email, const cli::AttachSpec& a) {
    if (a.path != "-" && a.name.empty()) {
        if (email.AddFileAttachmentOfType(a.path.c_str(), a.type.c_str())) return true;
    } else {
        DataBuffer data;
        if (!readAttachment(a.path, data)) return false;
        const char* name = a.name.empty() ? "stdin" : a.name.c_str();
        if (email.AddDataAttachment(name, a.type.c_str(), data.getData(), data.getSize())) return true;
    }
    std::fprintf(stderr, "ostmail: cannot attach '%s'\n%s", a.path.c_str(), email.lastErrorText());
    return false;
}

// Unlike the library's mail job, the command line refuses to send a
// message that lost a recipient or an attachment on the way.
bool composeMessage(VmEmail& email, const cli::SendOptions& o) {
    if (!setBodies(email, o)) return false;
    email.put_Subject(o.subject.c_str());
    email.put_FromName(o.fromName.c_str());
    email.put_FromAddress(o.fromAddress.c_str());
    struct List {
        const std::vector<std::string>& entries;
        bool (VmEmail::*add)(const char*, const char*);
    } lists[] = {{o.to, &VmEmail::AddTo}, {o.cc, &VmEmail::AddCC}, {o.bcc, &VmEmail::AddBcc}};
    for (const List& list : lists)
        for (const std::string& address : list.entries)
            if (!(email.*list.add)("", address.c_str())) {
                std::fprintf(stderr, "ostmail: bad address '%s'\n%s", address.c_str(), email.lastErrorText());
                return false;
            }
    for (const cli::AttachSpec& a : o.attachments)
        if (!attach(email, a)) return false;
    return true;
}

int runSend(const cli::SendOptions& o) {
    VmMailMan mailman;
    configureServer(mailman, o);
    VmEmail email;
    if (!composeMessage(email, o)) return kUsage;

    std::unique_ptr<cli::ProgressBar> bar;
    if (platform::stderrIsTerminal()) {
        bar = std::make_unique<cli::ProgressBar>();
        mailman.put_EventCallbackObject(bar.get());
    }
    uint32_t waitMs = static_cast<uint32_t>(o.retryWait) * 1000u;
    bool refreshed = false;
    auto sendOnce = [&] {
        if (mailman.SendEmail(email)) return true;
        // One fresh token per run, as mail clients that plug in a token helper expect.
        if (refreshed || !mailman.get_TokenRefused()) return false;
        refreshed = true;
        std::string token, error;
        if (!cli::refreshToken(o, token, error)) {
            if (!error.empty()) std::fprintf(stderr, "ostmail: %s\n", error.c_str());
            return false;
        }
        if (o.verbose) std::fputs(mailman.lastErrorText(), stderr);  // the refusal, before the retry's log
        mailman.put_SmtpPassword(token.c_str());
        return mailman.SendEmail(email);
    };
    int rc = mailjob::runAttempts(sendOnce, o.retries, waitMs, [](uint32_t ms) { platform::sleepMs(ms); });
    mailman.put_EventCallbackObject(nullptr);
    bar.reset();

    if (o.verbose || rc != 0) std::fputs(mailman.lastErrorText(), stderr);
    if (rc != 0) {
        std::fputs("ostmail: the message was not sent\n", stderr);
        return kNotSent;
    }
    std::fputs("ostmail: message sent\n", stderr);
    return kSent;
}

int runSendOrCheck(bool check, std::vector<std::string> args) {
    cli::SendOptions opts;
    std::string error;
    if (check) args.insert(args.end(), {"--to", "check@invalid"});  // no message is sent
    // The command line is read twice: once for the file and account, then over them.
    cli::SendOptions first;
    if (!cli::parseOptionsOnly(args, first, error)) {
        std::fprintf(stderr, "ostmail: %s\n(see ostmail send --help)\n", error.c_str());
        return kUsage;
    }
    if (first.help) {
        std::fputs(cli::usageText(), stdout);
        return kSent;
    }
    opts.config = first.config;
    opts.account = first.account;
    if (!cli::ConfigFile::load(opts.config, opts.account, opts, error)) {
        std::fprintf(stderr, "ostmail: %s\n", error.c_str());
        return cli::kExConfig;
    }
    if (!cli::parseSendOptions(args, opts, error)) {
        std::fprintf(stderr, "ostmail: %s\n(see ostmail send --help)\n", error.c_str());
        return kUsage;
    }
    if (!cli::resolvePassword(opts, error) || (!check && !cli::checkDkim(opts, error))) {
        std::fprintf(stderr, "ostmail: %s\n", error.c_str());
        return cli::kExConfig;
    }
    return check ? cli::runCheck(opts, configureServer) : runSend(opts);
}

bool calledAsSendmail(const char* argv0) {
    const char* slash = std::strrchr(argv0, '/');
    return std::strcmp(slash ? slash + 1 : argv0, "sendmail") == 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (calledAsSendmail(argv[0]))
        return cli::runSendmail(std::vector<std::string>(argv + 1, argv + argc), configureServer);
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("ostmail %s\n", OSTMAIL_VERSION);
        return kSent;
    }
    if (argc >= 2 && std::strcmp(argv[1], "sendmail") == 0)
        return cli::runSendmail(std::vector<std::string>(argv + 2, argv + argc), configureServer);
    if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
        std::fputs(cli::usageText(), argc < 2 ? stderr : stdout);
        return argc < 2 ? kUsage : kSent;
    }
    if (std::strcmp(argv[1], "dkim-keygen") == 0)
        return cli::runDkimKeygen(std::vector<std::string>(argv + 2, argv + argc));
    if (std::strcmp(argv[1], "mx") == 0) return cli::runMx(std::vector<std::string>(argv + 2, argv + argc));
    bool check = std::strcmp(argv[1], "check") == 0;
    if (!check && std::strcmp(argv[1], "send") != 0) {
        std::fprintf(stderr, "ostmail: unknown command '%s'\n%s", argv[1], cli::usageText());
        return kUsage;
    }
    return runSendOrCheck(check, std::vector<std::string>(argv + 2, argv + argc));
}
