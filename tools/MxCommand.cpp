#include "MxCommand.h"

#include "CliOptions.h"
#include "facade/VmMailMan.h"

#include <cstdio>
#include <cstdlib>

namespace ostmail {
namespace cli {

namespace {

struct MxOptions {
    std::string target;
    bool all = false;
    std::string dnsHost;
    int dnsPort = 53;
};

bool parsePort(const std::string& text, int& port) {
    if (text.empty()) return true;
    char* end = nullptr;
    long v = std::strtol(text.c_str(), &end, 10);
    if (*end != '\0' || v < 1 || v > 65535) return false;
    port = static_cast<int>(v);
    return true;
}

bool parseMxOptions(const std::vector<std::string>& args, MxOptions& o, std::string& error) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--all") {
            o.all = true;
        } else if (a == "--dns-server") {
            std::string port;
            if (i + 1 >= args.size() || !splitHostPort(args[++i], o.dnsHost, port) || !parsePort(port, o.dnsPort)) {
                error = "--dns-server needs HOST:PORT";
                return false;
            }
        } else if (a.rfind("--", 0) == 0 || !o.target.empty()) {
            error = "unexpected argument '" + a + "'";
            return false;
        } else {
            o.target = a;
        }
    }
    if (o.target.empty()) error = "a domain or an address is required";
    return error.empty();
}

}  // namespace

int runMx(const std::vector<std::string>& args) {
    MxOptions o;
    std::string error;
    if (!parseMxOptions(args, o, error)) {
        std::fprintf(stderr, "ostmail: %s\nusage: ostmail mx DOMAIN|ADDRESS [--all] [--dns-server HOST:PORT]\n",
                     error.c_str());
        return 2;
    }
    VmMailMan mm;
    if (!o.dnsHost.empty() && !mm.SetDnsServer(o.dnsHost.c_str(), o.dnsPort)) {
        std::fprintf(stderr, "ostmail: the DNS server must be a dotted IPv4 address\n");
        return 2;
    }
    std::vector<std::string> hosts;
    bool ok;
    if (o.all) {
        ok = mm.MxLookupAll(o.target.c_str(), hosts);
    } else {
        const char* best = mm.mxLookup(o.target.c_str());
        ok = best != nullptr;
        if (ok && *best) hosts.emplace_back(best);
    }
    if (!ok) {
        std::fprintf(stderr, "%sostmail: MX lookup failed for '%s'\n", mm.lastErrorText(), o.target.c_str());
        return 1;
    }
    if (hosts.empty()) {
        std::fprintf(stderr, "ostmail: '%s' has no MX records\n", o.target.c_str());
        return 1;
    }
    for (const std::string& h : hosts) std::printf("%s\n", h.c_str());
    return 0;
}

}  // namespace cli
}  // namespace ostmail
