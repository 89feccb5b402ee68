#include "SendmailArgs.h"

#include <cstring>
#include <strings.h>

namespace ostmail {
namespace cli {

namespace {

// Option letters of sendmail, Postfix and Exim: plain flags, letters with
// a value (glued or the next word), and letters whose value may only be
// glued ("-q", "-q15m").
const char kFlags[] = "cGIimnsTtUv";
const char kValued[] = "ABbCDdeFfhLMNOopRrVX";
const char kGluedOnly[] = "qQ";

// Exim's -oM* and -oX, -oP take their value as the next word.
bool eximTakesNext(const std::string& v) {
    static const char* const names[] = {"Ma", "Maa", "Mai", "Mas", "Mi", "Mm", "Mr", "Ms", "Mt", "X", "P"};
    for (const char* n : names)
        if (v == n) return true;
    return false;
}

// NEVER, or a list of SUCCESS, FAILURE and DELAY (RFC 3461 section 4.1).
bool validNotify(const std::string& v) {
    if (strcasecmp(v.c_str(), "never") == 0) return true;
    size_t pos = 0;
    while (pos <= v.size()) {
        size_t end = v.find(',', pos);
        std::string item = v.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        if (strcasecmp(item.c_str(), "success") && strcasecmp(item.c_str(), "failure") &&
            strcasecmp(item.c_str(), "delay"))
            return false;
        if (end == std::string::npos) return true;
        pos = end + 1;
    }
    return false;
}

// An ENVID is printable ASCII and at most 100 characters (RFC 3461 section 4.4).
bool validEnvid(const std::string& v) {
    for (char c : v)
        if (c < '!' || c > '~') return false;
    return !v.empty() && v.size() <= 100;
}

bool setMode(const std::string& v, SendmailArgs& out, std::string& error) {
    if (v == "m") return true;
    out.modeOption = "-b" + v;
    if (v == "p") out.mode = SendmailArgs::kQueue;
    else if (v == "i") out.mode = SendmailArgs::kAliases;
    else if (v.size() == 1 && std::strchr("aCdDhHPstvV", v[0])) out.mode = SendmailArgs::kNoSuchMode;
    else return error = "unknown mode '-b" + v + "'", false;
    return true;
}

bool apply(char letter, const std::string& v, SendmailArgs& out, std::string& error) {
    std::string bad = std::string("bad value for -") + letter + ": '" + v + "'";
    switch (letter) {
    case 'f':
    case 'r':
        out.sender = v;
        out.haveSender = true;
        return true;
    case 'F': out.fullName = v; return true;
    case 'C': out.config = v; return true;
    case 'b': return setMode(v, out, error);
    case 'N': return validNotify(v) ? (out.dsnNotify = v, true) : (error = bad, false);
    case 'V': return validEnvid(v) ? (out.dsnEnvid = v, true) : (error = bad, false);
    case 'R':
        if (strcasecmp(v.c_str(), "full") && strcasecmp(v.c_str(), "hdrs")) return error = bad, false;
        out.dsnRet = v;
        return true;
    case 'o':
        out.ignoreDots = out.ignoreDots || v == "i";
        return true;
    case 'O':
        if (strncasecmp(v.c_str(), "IgnoreDots", 10) == 0)
            out.ignoreDots = v.size() == 10 || strcasecmp(v.c_str() + 10, "=false") != 0;
        return true;
    default:
        return true;  // known, and of no meaning for a client that sends at once
    }
}

void setFlag(char letter, SendmailArgs& out) {
    if (letter == 't') out.fromHeaders = true;
    else if (letter == 'i') out.ignoreDots = true;
    else if (letter == 'v') out.verbose = true;
    else if (letter == 'n') out.noAliases = true;
    else if (letter == 'I') out.mode = SendmailArgs::kAliases, out.modeOption = "-I";
}

bool longOption(const std::vector<std::string>& args, size_t& i, SendmailArgs& out, std::string& error) {
    std::string name = args[i], value;
    size_t eq = name.find('=');
    bool glued = eq != std::string::npos;
    if (glued) value = name.substr(eq + 1), name = name.substr(0, eq);
    if (name != "--account" && name != "--config") return error = "unknown option '" + args[i] + "'", false;
    if (!glued && i + 1 >= args.size()) return error = "option " + name + " needs a value", false;
    (name == "--account" ? out.account : out.config) = glued ? value : args[++i];
    return true;
}

// One word of grouped letters; i moves on when a value is the next word.
bool letters(const std::vector<std::string>& args, size_t& i, SendmailArgs& out, std::string& error) {
    const std::string& a = args[i];
    for (size_t j = 1; j < a.size(); ++j) {
        char c = a[j];
        if (std::strchr(kFlags, c)) {
            setFlag(c, out);
            continue;
        }
        std::string value = a.substr(j + 1);
        if (std::strchr(kGluedOnly, c)) {
            out.mode = SendmailArgs::kQueue;
            out.modeOption = a;
            return true;
        }
        if (!std::strchr(kValued, c)) return error = std::string("unknown option '-") + c + "'", false;
        bool next = value.empty() || (c == 'o' && eximTakesNext(value));
        if (next && i + 1 >= args.size()) return error = std::string("option -") + c + value + " needs a value", false;
        if (value.empty()) value = args[++i];
        else if (next) ++i;  // Exim's value: of no meaning here
        return apply(c, value, out, error);
    }
    return true;
}

}  // namespace

bool parseSendmailArgs(const std::vector<std::string>& args, SendmailArgs& out, std::string& error) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        bool ok = true;
        if (a == "--") {
            out.recipients.insert(out.recipients.end(), args.begin() + static_cast<long>(i) + 1, args.end());
            return true;
        }
        if (a.size() < 2 || a[0] != '-') out.recipients.push_back(a);
        else if (a.rfind("--", 0) == 0) ok = longOption(args, i, out, error);
        else ok = letters(args, i, out, error);
        if (!ok) return false;
    }
    return true;
}

}  // namespace cli
}  // namespace ostmail
