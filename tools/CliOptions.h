#pragma once
#include <string>
#include <vector>

namespace ostmail {
namespace cli {

// One --attach: PATH ("-" standard input), with the type and the file
// name the reader sees when given (empty: by extension, from the path).
struct AttachSpec {
    std::string path;
    std::string type;
    std::string name;
};

// One DKIM signature: --dkim-domain, --dkim-selector and --dkim-key, with
// the --dkim-* refinements that follow them.
struct DkimSpec {
    std::string domain, selector, keyPath;
    bool relaxedHeader = true, relaxedBody = true;
    std::vector<std::string> headers;
    int expirySeconds = 0;
    std::string identity;
};

// Everything `ostmail send` can be told on its command line.
struct SendOptions {
    std::string server;
    int port = 25;
    bool ssl = false;
    bool startTls = false;
    bool requireCert = true;
    bool insecure = false;
    bool noTls = false;
    bool allowPlaintextLogin = false;
    std::string pinSha256;
    std::string caFile;
    std::string caDir;
    std::string tlsProtocol;
    std::string tlsCipher;
    std::string user;
    std::string password;
    std::string domain;
    std::string authMethod;
    std::string helo;
    int connectTimeout = 30;
    int readTimeout = 30;
    std::string fromName;
    std::string fromAddress;
    std::vector<std::string> to;
    std::vector<std::string> cc;
    std::vector<std::string> bcc;
    std::vector<AttachSpec> attachments;
    std::string subject;
    std::string body;
    std::string bodyFile;
    int retries = 0;
    int retryWait = 0;
    std::string dsnNotify;
    std::string dsnEnvid;
    std::string dsnRet;
    std::string sentLog;
    std::string socksHost;
    int socksPort = 1080;
    int socksVersion = 0;
    std::string socksUser;
    std::string socksPassword;
    std::string httpProxyHost;
    int httpProxyPort = 8080;
    std::string proxyUser;
    std::string proxyPassword;
    std::string proxyPasswordCommand;
    std::string proxyPasswordFile;
    std::string html;
    std::string htmlFile;
    std::string config;
    std::string account;
    std::string passwordCommand;
    std::string passwordFile;
    std::vector<DkimSpec> dkim;
    // Sendmail mode only: local names and the domain that qualifies the rest.
    std::string aliasesFile;
    std::string qualifyDomain;
    bool verbose = false;
    bool help = false;
    bool version = false;
};

// Parses the arguments after "send" on top of what opts holds already, and
// checks that a message can be sent. On a usage error returns false with
// the reason in error.
bool parseSendOptions(const std::vector<std::string>& args, SendOptions& opts, std::string& error);

// The same, without the check for a server and recipients.
bool parseOptionsOnly(const std::vector<std::string>& args, SendOptions& opts, std::string& error);

// A server and at least one recipient are there, no body is given twice
// and standard input is read for one thing at most.
bool checkSendOptions(const SendOptions& opts, std::string& error);

// Sets one option by its long name without dashes, as a configuration file
// names it; a switch takes yes or no. False, opts unchanged for that key,
// when the key is unknown (error "unknown key") or the value is bad.
bool applyConfigValue(const std::string& key, const std::string& value, SendOptions& opts, std::string& error);

// "host:port" or "host"; port is empty when not given. False when the
// host is empty or a colon has no port after it.
bool splitHostPort(const std::string& text, std::string& host, std::string& port);

// Adds the attachments of "PATH[;type=TYPE][;name=NAME][;PATH...]" to out;
// false, out unchanged, when a parameter has no path before it or is empty.
bool parseAttachList(const std::string& list, std::vector<AttachSpec>& out);

// Splits "a;b" lists given to a repeatable option into their entries.
std::vector<std::string> splitEntries(const std::string& list);

const char* usageText();

}  // namespace cli
}  // namespace ostmail
