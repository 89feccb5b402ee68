#include "DkimCommand.h"

#include "core/Logger.h"
#include "email/DkimSigner.h"
#include "facade/VmMailMan.h"
#include "platform/SigningKey.h"
#include "smtp/ClsMailMan.h"

#include <cstdio>
#include <cstdlib>

namespace ostmail {
namespace cli {

namespace {

DkimOptions toOptions(const DkimSpec& d) {
    DkimOptions o;
    o.relaxedHeader = d.relaxedHeader;
    o.relaxedBody = d.relaxedBody;
    o.headers = d.headers;
    o.expirySeconds = d.expirySeconds;
    o.identity = d.identity;
    return o;
}

struct KeygenOptions {
    std::string domain, selector, out;
    platform::SigningKey::Type type = platform::SigningKey::Type::kRsa;
    int bits = 2048;
};

bool parseKeygen(const std::vector<std::string>& args, KeygenOptions& k, std::string& error) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (i + 1 >= args.size()) return error = "option " + a + " needs a value", false;
        const std::string& v = args[++i];
        if (a == "--domain") k.domain = v;
        else if (a == "--selector") k.selector = v;
        else if (a == "--out") k.out = v;
        else if (a == "--type" && (v == "rsa" || v == "ed25519"))
            k.type = v == "rsa" ? platform::SigningKey::Type::kRsa : platform::SigningKey::Type::kEd25519;
        else if (a == "--bits" && (k.bits = std::atoi(v.c_str())) >= 1024 && k.bits <= 4096) continue;
        else return error = "bad option or value: " + a + " " + v, false;
    }
    if (k.domain.empty() || k.selector.empty()) return error = "--domain and --selector are required", false;
    if (!DkimSigner::checkName(k.domain, "domain", error) || !DkimSigner::checkName(k.selector, "selector", error))
        return false;
    if (k.out.empty()) k.out = k.selector + "." + k.domain + ".pem";
    return true;
}

// A TXT record's strings hold 255 bytes at most.
std::string quotedStrings(const std::string& txt) {
    std::string out;
    for (size_t i = 0; i < txt.size(); i += 255) out += (i ? " \"" : "\"") + txt.substr(i, 255) + "\"";
    return out;
}

}  // namespace

void applyDkim(VmMailMan& mm, const SendOptions& opts) {
    for (const DkimSpec& d : opts.dkim)
        mm.impl()->addDkimSignature(d.domain.c_str(), d.selector.c_str(), d.keyPath.c_str(), toOptions(d));
}

bool checkDkim(const SendOptions& opts, std::string& error) {
    for (const DkimSpec& d : opts.dkim) {
        Logger log;
        DkimSigner signer;
        if (signer.load(d.domain.c_str(), d.selector.c_str(), d.keyPath.c_str(), toOptions(d), log)) continue;
        StringBuffer text;
        log.GetText(text);
        error = "DKIM signature for " + d.domain + " cannot be made:\n" + text.toStdString();
        return false;
    }
    return true;
}

int runDkimKeygen(const std::vector<std::string>& args) {
    KeygenOptions k;
    std::string error, pem, txt;
    if (!parseKeygen(args, k, error)) {
        std::fprintf(stderr, "ostmail dkim-keygen: %s\n", error.c_str());
        return 2;
    }
    platform::SigningKey key;
    if (!key.generate(k.type, k.bits, error) || !key.privatePem(pem) || !DkimSigner::dnsRecord(key, txt) ||
        !platform::writePrivateFile(k.out.c_str(), pem, error)) {
        std::fprintf(stderr, "ostmail dkim-keygen: %s\n", error.empty() ? "the key could not be made" : error.c_str());
        return 73;
    }
    std::fprintf(stderr, "ostmail: private key written to %s (mode 0600); publish this record:\n", k.out.c_str());
    std::printf("%s._domainkey.%s. IN TXT %s\n", k.selector.c_str(), k.domain.c_str(), quotedStrings(txt).c_str());
    return 0;
}

}  // namespace cli
}  // namespace ostmail
