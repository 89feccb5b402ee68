#include "CliOptions.h"

#include "smtp/SmtpSecurity.h"

#include <cerrno>
#include <cstdlib>
#include <functional>
#include <map>

namespace ostmail {
namespace cli {

namespace {

bool toInt(const std::string& text, int& out) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    long v = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < -2147483647L || v > 2147483647L) return false;
    out = static_cast<int>(v);
    return true;
}

using ValueSetter = std::function<bool(SendOptions&, const std::string&)>;

ValueSetter text(std::string SendOptions::*field) {
    return [field](SendOptions& o, const std::string& v) {
        o.*field = v;
        return true;
    };
}

ValueSetter number(int SendOptions::*field) {
    return [field](SendOptions& o, const std::string& v) { return toInt(v, o.*field); };
}

ValueSetter list(std::vector<std::string> SendOptions::*field) {
    return [field](SendOptions& o, const std::string& v) {
        for (const std::string& e : splitEntries(v)) (o.*field).push_back(e);
        return true;
    };
}

// "major/minor" with no blank or control character, so it cannot break the header.
bool plausibleType(const std::string& type) {
    size_t slash = type.find('/');
    if (slash == 0 || slash == std::string::npos || slash + 1 == type.size()) return false;
    for (unsigned char c : type)
        if (c <= ' ' || c == 0x7f) return false;
    return true;
}

bool plausibleName(const std::string& name) {
    for (unsigned char c : name)
        if (c < ' ' || c == 0x7f) return false;
    return !name.empty();
}

ValueSetter attachList() {
    return [](SendOptions& o, const std::string& v) { return parseAttachList(v, o.attachments); };
}

// HOST:PORT of a SOCKS proxy; without a port the usual 1080.
ValueSetter socksProxy(int version) {
    return [version](SendOptions& o, const std::string& v) {
        std::string port;
        if (!splitHostPort(v, o.socksHost, port)) return false;
        o.socksPort = 1080;
        o.socksVersion = version;
        return port.empty() || (toInt(port, o.socksPort) && o.socksPort > 0 && o.socksPort <= 65535);
    };
}

// HOST:PORT of an HTTP proxy; without a port 8080.
bool httpProxy(SendOptions& o, const std::string& v) {
    std::string port;
    if (!splitHostPort(v, o.httpProxyHost, port)) return false;
    o.httpProxyPort = 8080;
    return port.empty() || (toInt(port, o.httpProxyPort) && o.httpProxyPort > 0 && o.httpProxyPort <= 65535);
}

// The three names of a signature fill the last one until it has that part;
// a part given again starts the next signature.
ValueSetter dkimPart(std::string DkimSpec::*field) {
    return [field](SendOptions& o, const std::string& v) {
        if (v.empty()) return false;
        if (o.dkim.empty() || !(o.dkim.back().*field).empty()) o.dkim.emplace_back();
        o.dkim.back().*field = v;
        return true;
    };
}

// "relaxed/simple" and the like, for the signature given last.
bool dkimCanon(SendOptions& o, const std::string& v) {
    size_t slash = v.find('/');
    std::string h = v.substr(0, slash), b = slash == std::string::npos ? "simple" : v.substr(slash + 1);
    auto known = [](const std::string& c) { return c == "relaxed" || c == "simple"; };
    if (o.dkim.empty() || !known(h) || !known(b)) return false;
    o.dkim.back().relaxedHeader = h == "relaxed";
    o.dkim.back().relaxedBody = b == "relaxed";
    return true;
}

ValueSetter dkimRefinement(std::function<bool(DkimSpec&, const std::string&)> set) {
    return [set](SendOptions& o, const std::string& v) { return !o.dkim.empty() && set(o.dkim.back(), v); };
}

// A pin must be the base64 of a SHA-256: a typo must not pass for "no pin".
bool pin(SendOptions& o, const std::string& v) {
    std::vector<unsigned char> key;
    if (!SmtpSecurity::decodePin(v.c_str(), key)) return false;
    o.pinSha256 = v;
    return true;
}

const std::map<std::string, ValueSetter>& valueOptions() {
    static const std::map<std::string, ValueSetter> options = {
        {"--server", text(&SendOptions::server)},
        {"--port", number(&SendOptions::port)},
        {"--user", text(&SendOptions::user)},
        {"--password", text(&SendOptions::password)},
        {"--domain", text(&SendOptions::domain)},
        {"--auth-method", text(&SendOptions::authMethod)},
        {"--helo", text(&SendOptions::helo)},
        {"--ca-file", text(&SendOptions::caFile)},
        {"--ca-dir", text(&SendOptions::caDir)},
        {"--tls-protocol", text(&SendOptions::tlsProtocol)},
        {"--tls-cipher", text(&SendOptions::tlsCipher)},
        {"--pin-sha256", pin},
        {"--connect-timeout", number(&SendOptions::connectTimeout)},
        {"--read-timeout", number(&SendOptions::readTimeout)},
        {"--from", text(&SendOptions::fromAddress)},
        {"--from-name", text(&SendOptions::fromName)},
        {"--to", list(&SendOptions::to)},
        {"--cc", list(&SendOptions::cc)},
        {"--bcc", list(&SendOptions::bcc)},
        {"--attach", attachList()},
        {"--subject", text(&SendOptions::subject)},
        {"--body", text(&SendOptions::body)},
        {"--body-file", text(&SendOptions::bodyFile)},
        {"--retries", number(&SendOptions::retries)},
        {"--retry-wait", number(&SendOptions::retryWait)},
        {"--dsn-notify", text(&SendOptions::dsnNotify)},
        {"--dsn-envid", text(&SendOptions::dsnEnvid)},
        {"--dsn-ret", text(&SendOptions::dsnRet)},
        {"--sent-log", text(&SendOptions::sentLog)},
        {"--socks-host", text(&SendOptions::socksHost)},
        {"--socks-port", number(&SendOptions::socksPort)},
        {"--socks-version", number(&SendOptions::socksVersion)},
        {"--socks-user", text(&SendOptions::socksUser)},
        {"--socks-password", text(&SendOptions::socksPassword)},
        {"--socks4", socksProxy(4)},
        {"--socks5", socksProxy(5)},
        {"--http-proxy", httpProxy},
        {"--proxy-user", text(&SendOptions::proxyUser)},
        {"--proxy-password", text(&SendOptions::proxyPassword)},
        {"--proxy-password-command", text(&SendOptions::proxyPasswordCommand)},
        {"--proxy-password-file", text(&SendOptions::proxyPasswordFile)},
        {"--html", text(&SendOptions::html)},
        {"--html-file", text(&SendOptions::htmlFile)},
        {"--config", text(&SendOptions::config)},
        {"--account", text(&SendOptions::account)},
        {"--password-command", text(&SendOptions::passwordCommand)},
        {"--password-file", text(&SendOptions::passwordFile)},
        {"--dkim-domain", dkimPart(&DkimSpec::domain)},
        {"--dkim-selector", dkimPart(&DkimSpec::selector)},
        {"--dkim-key", dkimPart(&DkimSpec::keyPath)},
        {"--dkim-canon", dkimCanon},
        {"--dkim-headers", dkimRefinement([](DkimSpec& d, const std::string& v) {
             for (const std::string& e : splitEntries(v)) d.headers.push_back(e);
             return true;
         })},
        {"--dkim-expiry", dkimRefinement([](DkimSpec& d, const std::string& v) {
             return toInt(v, d.expirySeconds) && d.expirySeconds > 0;
         })},
        {"--dkim-identity", dkimRefinement([](DkimSpec& d, const std::string& v) {
             d.identity = v;
             return true;
         })},
    };
    return options;
}

const std::map<std::string, bool SendOptions::*>& flagOptions() {
    static const std::map<std::string, bool SendOptions::*> flags = {
        {"--ssl", &SendOptions::ssl},         {"--starttls", &SendOptions::startTls},
        {"--require-cert", &SendOptions::requireCert}, {"--insecure", &SendOptions::insecure},
        {"--no-tls", &SendOptions::noTls},    {"--allow-plaintext-login", &SendOptions::allowPlaintextLogin},
        {"--verbose", &SendOptions::verbose}, {"-v", &SendOptions::verbose},
        {"--help", &SendOptions::help},       {"-h", &SendOptions::help},
        {"--version", &SendOptions::version},
    };
    return flags;
}

bool applyValue(const std::string& name, const std::string& value, SendOptions& opts, std::string& error) {
    auto it = valueOptions().find(name);
    if (it->second(opts, value)) return true;
    error = "bad value for " + name + ": '" + value + "'";
    return false;
}

}  // namespace

bool splitHostPort(const std::string& text, std::string& host, std::string& port) {
    size_t colon = text.rfind(':');
    host = text.substr(0, colon);
    port = colon == std::string::npos ? "" : text.substr(colon + 1);
    return !host.empty() && (colon == std::string::npos || !port.empty());
}

std::vector<std::string> splitEntries(const std::string& list) {
    std::vector<std::string> entries;
    size_t pos = 0;
    while (pos <= list.size()) {
        size_t end = list.find(';', pos);
        if (end == std::string::npos) end = list.size();
        if (end > pos) entries.push_back(list.substr(pos, end - pos));
        pos = end + 1;
    }
    return entries;
}

bool parseAttachList(const std::string& list, std::vector<AttachSpec>& out) {
    std::vector<AttachSpec> added;
    for (const std::string& e : splitEntries(list)) {
        bool isType = e.rfind("type=", 0) == 0, isName = e.rfind("name=", 0) == 0;
        if (!isType && !isName) {
            added.push_back({e, "", ""});
            continue;
        }
        std::string value = e.substr(5);
        if (added.empty() || !(isType ? plausibleType(value) : plausibleName(value))) return false;
        (isType ? added.back().type : added.back().name) = value;
    }
    out.insert(out.end(), added.begin(), added.end());
    return true;
}

bool applyConfigValue(const std::string& key, const std::string& value, SendOptions& opts, std::string& error) {
    std::string name = "--" + key;
    auto flag = flagOptions().find(name);
    bool allowed = key != "config" && key != "account" && key != "help" && key != "version";
    if (allowed && flag != flagOptions().end()) {
        if (value != "yes" && value != "no") {
            error = "bad value '" + value + "' (yes or no)";
            return false;
        }
        opts.*(flag->second) = value == "yes";
        return true;
    }
    if (!allowed || valueOptions().count(name) == 0) {
        error = "unknown key";
        return false;
    }
    SendOptions trial = opts;
    if (!valueOptions().at(name)(trial, value)) {
        error = "bad value '" + value + "'";
        return false;
    }
    opts = trial;
    return true;
}

bool parseSendOptions(const std::vector<std::string>& args, SendOptions& opts, std::string& error) {
    return parseOptionsOnly(args, opts, error) && (opts.help || opts.version || checkSendOptions(opts, error));
}

bool parseOptionsOnly(const std::vector<std::string>& args, SendOptions& opts, std::string& error) {
    for (size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::string value;
        bool inlineValue = false;
        size_t eq = name.find('=');
        if (name.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
            inlineValue = true;
        }
        auto flag = flagOptions().find(name);
        if (flag != flagOptions().end() && !inlineValue) {
            opts.*(flag->second) = true;
            continue;
        }
        if (valueOptions().count(name) == 0) {
            error = "unknown option '" + args[i] + "'";
            return false;
        }
        if (!inlineValue) {
            if (i + 1 >= args.size()) {
                error = "option " + name + " needs a value";
                return false;
            }
            value = args[++i];
        }
        if (!applyValue(name, value, opts, error)) return false;
    }
    return true;
}

bool checkSendOptions(const SendOptions& opts, std::string& error) {
    if (opts.server.empty()) error = "--server is required";
    else if (opts.to.empty() && opts.cc.empty() && opts.bcc.empty()) error = "at least one --to, --cc or --bcc is required";
    else if (!opts.body.empty() && !opts.bodyFile.empty()) error = "give --body or --body-file, not both";
    else if (!opts.html.empty() && !opts.htmlFile.empty()) error = "give --html or --html-file, not both";
    else if (opts.noTls && (opts.ssl || opts.startTls)) error = "give --no-tls or --ssl/--starttls, not both";
    if (!error.empty()) return false;
    int stdinUsers = (opts.bodyFile == "-") + (opts.htmlFile == "-") + (opts.passwordFile == "-");
    for (const AttachSpec& a : opts.attachments) stdinUsers += a.path == "-";
    if (stdinUsers > 1) error = "standard input ('-') can be read for one option only";
    for (const DkimSpec& d : opts.dkim)
        if (error.empty() && (d.domain.empty() || d.selector.empty() || d.keyPath.empty()))
            error = "each DKIM signature needs --dkim-domain, --dkim-selector and --dkim-key";
    return error.empty();
}

const char* usageText() {
    return "usage: ostmail send --server HOST --to ADDR [options]\n"
           "       ostmail mx DOMAIN|ADDRESS [--all] [--dns-server HOST:PORT]\n"
           "       ostmail check --server HOST [connection and login options]\n"
           "       ostmail sendmail [-t] [-i] [-f ADDR] [RECIPIENT...] < MESSAGE\n"
           "       ostmail dkim-keygen --domain D --selector S [--type rsa|ed25519] [--bits N] [--out PATH]\n"
           "       ostmail --version\n"
           "\n"
           "Sends one message over SMTP. Lists may be repeated or separated by ';'.\n"
           "\n"
           "Server and login:\n"
           "  --server HOST          SMTP server (a pasted web address is reduced to its host)\n"
           "  --port N               port (default 25)\n"
           "  --ssl                  TLS from the first byte (implicit TLS, port 465)\n"
           "  --starttls             STARTTLS required: a server without it fails the send\n"
           "                         (default: STARTTLS whenever the server offers it)\n"
           "  --no-tls               plain SMTP, no STARTTLS even when offered\n"
           "  --insecure             do not refuse a server certificate that fails the check\n"
           "                         (default: refuse it; accounts file: require-cert = no)\n"
           "  --pin-sha256 BASE64    the server's public key must have this SHA-256\n"
           "                         (as curl's --pinnedpubkey); holds even with --insecure\n"
           "  --allow-plaintext-login  send a LOGIN/PLAIN password without verified TLS\n"
           "  --ca-file PATH         PEM file of CA certificates to trust as well\n"
           "  --ca-dir PATH          folder of hashed CA certificates to trust as well\n"
           "  --tls-protocol NAME    TLS 1.0, SSL 3.0, ... (default: TLS 1.2 or newer)\n"
           "  --tls-cipher NAME      3DES, RC4, DES, RC2, ... (default: any)\n"
           "  --user NAME            login name; with --password enables AUTH\n"
           "  --password-command CMD login password: first line printed by CMD\n"
           "  --password-file PATH   login password: first line of PATH ('-' stdin)\n"
           "                         (or $OSTMAIL_PASSWORD; --password TEXT is visible to all)\n"
           "  --config FILE          accounts file (default: $OSTMAIL_CONFIG,\n"
           "                         ~/.config/ostmail/config, /etc/ostmail.conf)\n"
           "  --account NAME         section of the accounts file (default: default)\n"
           "  --domain NAME          login domain for NTLM\n"
           "  --auth-method NAME     force LOGIN, PLAIN, CRAM-MD5, NTLM or NONE; XOAUTH2 or\n"
           "                         OAUTHBEARER take the password as an OAuth 2.0 access token\n"
           "                         (a refused one: the password source is read once more)\n"
           "  --helo NAME            name sent with EHLO/HELO (default: this host's name)\n"
           "  --connect-timeout S    seconds to wait for the connection (default 30)\n"
           "  --read-timeout S       seconds to wait for each reply (default 30)\n"
           "  --socks4 HOST:PORT     connect through a SOCKS4 proxy (port default 1080)\n"
           "  --socks5 HOST:PORT     connect through a SOCKS5 proxy (port default 1080)\n"
           "  --socks-user NAME      user name for the proxy\n"
           "  --socks-password TEXT  password for a SOCKS5 proxy\n"
           "  --socks-host HOST, --socks-port N, --socks-version 4|5   the same, one by one\n"
           "  --http-proxy HOST:PORT tunnel through an HTTP proxy with CONNECT (port default 8080)\n"
           "  --proxy-user NAME      login for the HTTP proxy (Basic)\n"
           "  --proxy-password-command CMD, --proxy-password-file PATH\n"
           "                         its password, as for the SMTP login\n"
           "                         (or $OSTMAIL_PROXY_PASSWORD, or --proxy-password TEXT)\n"
           "\n"
           "Message:\n"
           "  --from ADDR            sender address (also the envelope sender)\n"
           "  --from-name NAME       sender display name\n"
           "  --to ADDR              recipient (repeatable)\n"
           "  --cc ADDR              copy recipient (repeatable)\n"
           "  --bcc ADDR             blind copy recipient (repeatable)\n"
           "  --subject TEXT         subject\n"
           "  --body TEXT            plain-text body\n"
           "  --body-file PATH       plain-text body read from a file ('-' stdin)\n"
           "  --html TEXT            HTML body (the plain body becomes its alternative)\n"
           "  --html-file PATH       HTML body read from a file ('-' stdin)\n"
           "  --attach PATH[;type=TYPE][;name=NAME]\n"
           "                         file attachment (repeatable); '-' reads standard\n"
           "                         input (named \"stdin\" unless name= is given); type=\n"
           "                         overrides the type chosen by the name's extension\n"
           "\n"
           "Delivery:\n"
           "  --retries N            further attempts after a failure (default 0)\n"
           "  --retry-wait S         seconds to wait after each failed attempt (default 0)\n"
           "  --dsn-notify LIST      DSN NOTIFY value, e.g. SUCCESS,FAILURE\n"
           "  --dsn-envid ID         DSN envelope id\n"
           "  --dsn-ret FULL|HDRS    DSN return type\n"
           "  --sent-log PATH        append every sent message to this file\n"
           "\n"
           "DKIM signing (repeat the three for a second signature, e.g. RSA and Ed25519):\n"
           "  --dkim-domain D        signing domain (d=)\n"
           "  --dkim-selector S      selector (s=); the key is published at S._domainkey.D\n"
           "  --dkim-key PATH        unencrypted PEM private key, readable by its owner only\n"
           "  --dkim-canon H/B       relaxed or simple for header/body (default relaxed/relaxed)\n"
           "  --dkim-headers LIST    further header fields to sign\n"
           "  --dkim-expiry S        the signature expires S seconds after sending\n"
           "  --dkim-identity ADDR   i=, an address at the signing domain\n"
           "\n"
           "  -v, --verbose          print the activity log of the send\n"
           "  -h, --help             this text\n"
           "\n"
           "Exit status: 0 sent, 1 not sent (the reason follows on stderr), 2 usage error,\n"
           "78 bad configuration, password source or DKIM key.\n"
           "\n"
           "ostmail mx prints the mail exchangers of a domain (or of an address's\n"
           "domain), best first, one per line: only the best one unless --all is\n"
           "given. --dns-server asks that server (a dotted IPv4 address, port\n"
           "default 53) instead of the system's. Exit status: 0 found, 1 none or\n"
           "the lookup failed, 2 usage error.\n";
}

}  // namespace cli
}  // namespace ostmail
