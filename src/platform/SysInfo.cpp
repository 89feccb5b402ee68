#include "platform/SysInfo.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <sys/random.h>
#include <unistd.h>

namespace ostmail {
namespace platform {

namespace {

std::atomic<uint32_t> g_ansiOverride{0};
std::atomic<uint32_t> g_oemOverride{0};

struct CodesetEntry {
    const char* name;  // lower case, without '-', '_' and spaces
    uint32_t codePage;
};

// Codesets that glibc locales name, with the Windows code page of each.
const CodesetEntry kCodesets[] = {
    {"utf8", 65001},       {"iso88591", 28591},   {"iso88592", 28592},   {"iso88593", 28593},
    {"iso88594", 28594},   {"iso88595", 28595},   {"iso88596", 28596},   {"iso88597", 28597},
    {"iso88598", 28598},   {"iso88599", 28599},   {"iso885911", 874},    {"iso885913", 28603},
    {"iso885915", 28605},  {"koi8r", 20866},      {"koi8u", 21866},      {"cp1250", 1250},
    {"cp1251", 1251},      {"cp1252", 1252},      {"cp1253", 1253},      {"cp1254", 1254},
    {"cp1255", 1255},      {"cp1256", 1256},      {"cp1257", 1257},      {"cp1258", 1258},
    {"windows1250", 1250}, {"windows1251", 1251}, {"windows1252", 1252}, {"windows1253", 1253},
    {"windows1254", 1254}, {"windows1255", 1255}, {"windows1256", 1256}, {"windows1257", 1257},
    {"windows1258", 1258}, {"eucjp", 51932},      {"euckr", 51949},      {"euccn", 936},
    {"gb2312", 936},       {"gbk", 936},          {"gb18030", 54936},    {"big5", 950},
    {"big5hkscs", 950},    {"sjis", 932},         {"shiftjis", 932},     {"tis620", 874},
    {"cp874", 874},        {"cp437", 437},        {"cp850", 850},        {"cp866", 866},
    {"ibm866", 866},       {"ansix3.41968", 20127}, {"usascii", 20127},  {"ascii", 20127},
};

// The codeset part of a locale name ("de_DE.ISO-8859-1@euro" -> "iso88591").
std::string codesetOf(const char* locale) {
    const char* dot = std::strchr(locale, '.');
    const char* p = dot ? dot + 1 : locale;
    std::string out;
    for (; *p && *p != '@'; ++p) {
        char c = *p;
        if (c == '-' || c == '_' || c == ' ') continue;
        out += static_cast<char>((c >= 'A' && c <= 'Z') ? c + 32 : c);
    }
    return out;
}

const char* localeFromEnvironment() {
    for (const char* var : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const char* v = std::getenv(var);
        if (v && *v) return v;
    }
    return nullptr;
}

// The XSI and GNU strerror_r differ in return type; both land here.
[[maybe_unused]] const char* pickText(int rc, const char* buf) { return rc == 0 ? buf : ""; }
[[maybe_unused]] const char* pickText(const char* text, const char*) { return text ? text : ""; }

}  // namespace

uint32_t ansiCodePage() {
    uint32_t forced = g_ansiOverride.load(std::memory_order_relaxed);
    if (forced) return forced;
    const char* locale = localeFromEnvironment();
    if (!locale) return 1252;
    std::string codeset = codesetOf(locale);
    for (const CodesetEntry& e : kCodesets)
        if (codeset == e.name) return e.codePage;
    return 1252;
}

uint32_t oemCodePage() {
    uint32_t forced = g_oemOverride.load(std::memory_order_relaxed);
    return forced ? forced : 437;
}

void setAnsiCodePageOverride(uint32_t codePage) { g_ansiOverride.store(codePage, std::memory_order_relaxed); }

void setOemCodePageOverride(uint32_t codePage) { g_oemOverride.store(codePage, std::memory_order_relaxed); }

std::string userName() {
    long max = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::string buf(max > 0 ? static_cast<size_t>(max) : 16384, '\0');
    passwd pw{};
    passwd* found = nullptr;
    if (getpwuid_r(geteuid(), &pw, &buf[0], buf.size(), &found) != 0 || !found || !found->pw_name) return "";
    return found->pw_name;
}

std::string computerName() {
    char name[256] = {0};
    if (gethostname(name, sizeof name - 1) != 0) return "";
    return name;
}

std::string errorText(int err) {
    if (err == 0) return "";
    char buf[256] = {0};
    return pickText(strerror_r(err, buf, sizeof buf), buf);
}

bool systemRandom(void* buf, uint32_t n) {
    unsigned char* p = static_cast<unsigned char*>(buf);
    while (n > 0) {
        ssize_t got = getrandom(p, n, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += got;
        n -= static_cast<uint32_t>(got);
    }
    return true;
}

}  // namespace platform
}  // namespace ostmail
