#include "email/EmailDate.h"

#include "platform/Clock.h"

#include <cstdlib>
#include <cstring>

namespace ostmail {

namespace {

// C-locale names, as strftime writes them for %a and %b.
const char* const kDays[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

struct ZoneName {
    const char* name;
    int minutes;
};
const ZoneName kZones[] = {{"ut", 0},        {"utc", 0},       {"gmt", 0},       {"z", 0},
                           {"est", -5 * 60}, {"edt", -4 * 60}, {"cst", -6 * 60}, {"cdt", -5 * 60},
                           {"mst", -7 * 60}, {"mdt", -6 * 60}, {"pst", -8 * 60}, {"pdt", -7 * 60}};

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// Days since 1970-01-01 of a proleptic Gregorian date (Howard Hinnant's
// days_from_civil).
int64_t daysFromCivil(int64_t y, int m, int d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

// A small cursor over the date text.
class Scanner {
public:
    explicit Scanner(const char* s) : m_p(s) {}
    void skipSpace() {
        while (*m_p == ' ' || *m_p == '\t' || *m_p == '\r' || *m_p == '\n' || *m_p == ',') ++m_p;
    }
    bool number(int maxDigits, int& value, int& digits) {
        skipSpace();
        value = 0;
        digits = 0;
        while (isDigit(*m_p) && digits < maxDigits) {
            value = value * 10 + (*m_p++ - '0');
            ++digits;
        }
        return digits > 0;
    }
    // Copies a run of letters (at most cap-1) lower-cased.
    int word(char* out, int cap) {
        skipSpace();
        int n = 0;
        while (isAlpha(*m_p)) {
            if (n < cap - 1) out[n++] = lower(*m_p);
            ++m_p;
        }
        out[n] = 0;
        return n;
    }
    bool take(char c) {
        if (*m_p != c) return false;
        ++m_p;
        return true;
    }
    char peekAfterSpace() {
        skipSpace();
        return *m_p;
    }

private:
    const char* m_p;
};

int monthIndex(const char* w) {
    for (int i = 0; i < 12; ++i) {
        if (lower(kMonths[i][0]) == w[0] && kMonths[i][1] == w[1] && kMonths[i][2] == w[2]) return i;
    }
    return -1;
}

bool parseZone(Scanner& sc, int& minutes) {
    minutes = 0;
    char c = sc.peekAfterSpace();
    if (c == '+' || c == '-') {
        sc.take(c);
        int v = 0, digits = 0;
        if (!sc.number(4, v, digits) || digits != 4) return false;
        minutes = (v / 100) * 60 + v % 100;
        if (c == '-') minutes = -minutes;
        return true;
    }
    char w[8];
    if (sc.word(w, sizeof(w)) == 0) return true;  // no zone: UTC
    for (const ZoneName& z : kZones) {
        if (std::strcmp(z.name, w) == 0) minutes = z.minutes;
    }
    return true;
}

}  // namespace

void EmailDate::appendZone(int offsetMinutes, StringBuffer& out) {
    const char sign = offsetMinutes < 0 ? '-' : '+';
    const int abs = std::abs(offsetMinutes);
    out.appendFormat("%c%02d%02d", sign, (abs / 60) % 100, abs % 60);
}

void EmailDate::formatDateText(const platform::LocalTime& t, StringBuffer& out) {
    const char* day = kDays[(t.weekday % 7 + 7) % 7];
    const char* month = kMonths[(t.month >= 1 && t.month <= 12) ? t.month - 1 : 0];
    out.appendFormat("%s, %02d %s %04d %02d:%02d:%02d ", day, t.day, month, t.year, t.hour, t.minute, t.second);
    appendZone(t.gmtOffsetMinutes, out);
}

void EmailDate::currentDateText(StringBuffer& out) { formatDateText(platform::localNow(), out); }

bool EmailDate::parse(const char* text, EmailDateValue& out) {
    if (!text) return false;
    Scanner sc(text);
    char w[16];
    if (isAlpha(sc.peekAfterSpace())) sc.word(w, sizeof(w));  // optional day name

    int day = 0, digits = 0;
    if (!sc.number(2, day, digits) || day < 1 || day > 31) return false;
    if (sc.word(w, sizeof(w)) < 3) return false;
    const int month = monthIndex(w);
    if (month < 0) return false;
    int year = 0;
    if (!sc.number(4, year, digits)) return false;
    if (digits == 2) year += year < 50 ? 2000 : 1900;  // RFC 2822 obsolete two-digit years
    else if (digits == 3) year += 1900;

    int hour = 0, minute = 0, second = 0;
    if (!sc.number(2, hour, digits) || !sc.take(':') || !sc.number(2, minute, digits)) return false;
    if (sc.take(':') && !sc.number(2, second, digits)) return false;
    if (hour > 23 || minute > 59 || second > 60) return false;

    int zone = 0;
    if (!parseZone(sc, zone)) return false;
    const int64_t days = daysFromCivil(year, month + 1, day);
    out.unixTime = days * 86400 + hour * 3600 + minute * 60 + second - zone * 60;
    out.zoneMinutes = zone;
    return true;
}

}  // namespace ostmail
