#include "platform/CodePage.h"
#include "platform/CodePageTables.h"

#include <unicode/ucnv.h>
#include <unicode/ucnv_err.h>

#include <vector>

#include <algorithm>

namespace ostmail {
namespace platform {

namespace {

struct IcuName {
    uint32_t codePage;
    const char* name;
};

// Windows code page to ICU converter name. Pages missing here have no table
// (docs/codepages.md lists them); the UTF forms, ISO-2022-JP and -KR are
// converted by the library's own code and are not looked up here.
const IcuName kIcuNames[] = {
    {37, "ibm-37"},          {437, "ibm-437"},        {500, "ibm-500"},        {708, "ASMO-708"},
    {720, "ibm-720"},        {737, "ibm-737"},        {775, "ibm-775"},        {850, "ibm-850"},
    {852, "ibm-852"},        {855, "ibm-855"},        {857, "ibm-857"},        {858, "ibm-858"},
    {860, "ibm-860"},        {861, "ibm-861"},        {862, "ibm-862"},        {863, "ibm-863"},
    {864, "ibm-864"},        {865, "ibm-865"},        {866, "ibm-866"},        {869, "ibm-869"},
    {870, "ibm-870"},        {874, "windows-874"},    {875, "ibm-875"},        {932, "windows-932"},
    {936, "windows-936"},    {949, "windows-949"},    {950, "windows-950"},    {1026, "ibm-1026"},
    {1047, "ibm-1047"},      {1140, "ibm-1140"},      {1141, "ibm-1141"},      {1142, "ibm-1142"},
    {1143, "ibm-1143"},      {1144, "ibm-1144"},      {1145, "ibm-1145"},      {1146, "ibm-1146"},
    {1147, "ibm-1147"},      {1148, "ibm-1148"},      {1149, "ibm-1149"},      {1250, "windows-1250"},
    {1251, "windows-1251"},  {1252, "windows-1252"},  {1253, "windows-1253"},  {1254, "windows-1254"},
    {1255, "windows-1255"},  {1256, "windows-1256"},  {1257, "windows-1257"},  {1258, "windows-1258"},
    {10000, "macintosh"},    {10006, "x-mac-greek"},  {10007, "x-mac-cyrillic"}, {10017, "x-MacUkraine"},
    {10029, "x-mac-ce"},     {10081, "x-mac-turkish"}, {20127, "US-ASCII"},    {20273, "ibm-273"},
    {20277, "ibm-277"},      {20278, "ibm-278"},      {20280, "ibm-280"},      {20284, "ibm-284"},
    {20285, "ibm-285"},      {20290, "ibm-290"},      {20297, "ibm-297"},      {20420, "ibm-420"},
    {20424, "ibm-424"},      {20838, "ibm-838"},      {20866, "KOI8-R"},       {20871, "ibm-871"},
    {20936, "GB2312"},       {20949, "EUC-KR"},       {21025, "ibm-1025"},     {21866, "KOI8-U"},
    {28591, "ISO-8859-1"},   {28592, "ISO-8859-2"},   {28593, "ISO-8859-3"},   {28594, "ISO-8859-4"},
    {28595, "ISO-8859-5"},   {28596, "ISO-8859-6"},   {28597, "ISO-8859-7"},   {28598, "ISO-8859-8"},
    {28599, "ISO-8859-9"},   {28603, "ISO-8859-13"},  {28605, "ISO-8859-15"},  {38598, "ISO-8859-8"},
    {50227, "ISO-2022-CN"},  {50930, "ibm-930"},      {50931, "ibm-931"},      {50933, "ibm-933"},
    {50935, "ibm-935"},      {50937, "ibm-937"},      {50939, "ibm-939"},      {51932, "EUC-JP"},
    {51936, "EUC-CN"},       {51949, "EUC-KR"},       {51950, "EUC-TW"},       {52936, "HZ"},
    {54936, "GB18030"},      {57002, "windows-57002"}, {57003, "windows-57003"}, {57004, "windows-57004"},
    {57005, "windows-57005"}, {57006, "windows-57006"}, {57007, "windows-57007"}, {57008, "windows-57008"},
    {57009, "windows-57009"}, {57010, "windows-57010"}, {57011, "windows-57011"},
};

const char* icuName(uint32_t codePage) {
    for (const IcuName& e : kIcuNames) {
        if (e.codePage == codePage) return e.name;
    }
    return nullptr;
}

UConverter* openIcu(uint32_t codePage) {
    const char* name = icuName(codePage);
    if (!name) return nullptr;
    UErrorCode err = U_ZERO_ERROR;
    UConverter* cnv = ucnv_open(name, &err);
    if (U_FAILURE(err)) return nullptr;
    // Stop at every character that cannot be converted; the caller decides.
    err = U_ZERO_ERROR;
    ucnv_setFromUCallBack(cnv, UCNV_FROM_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &err);
    ucnv_setToUCallBack(cnv, UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &err);
    if (U_FAILURE(err)) {
        ucnv_close(cnv);
        return nullptr;
    }
    return cnv;
}

bool isSingleByteType(UConverter* cnv) {
    UConverterType t = ucnv_getType(cnv);
    return t == UCNV_SBCS || t == UCNV_LATIN_1 || t == UCNV_US_ASCII;
}

int decodeOneByte(UConverter* cnv, unsigned char b) {
    ucnv_reset(cnv);
    const char* src = reinterpret_cast<const char*>(&b);
    UChar out[2];
    UChar* dst = out;
    UErrorCode err = U_ZERO_ERROR;
    ucnv_toUnicode(cnv, &dst, out + 2, &src, src + 1, nullptr, true, &err);
    if (U_FAILURE(err) || dst - out != 1) return -1;
    return out[0];
}

// Byte for one code unit by the table's round-trip mappings, or -1.
int encodeOneUnit(UConverter* cnv, char16_t unit) {
    if (unit >= 0xD800 && unit <= 0xDFFF) return -1;
    ucnv_reset(cnv);
    const UChar* src = &unit;
    char out[4];
    char* dst = out;
    UErrorCode err = U_ZERO_ERROR;
    ucnv_fromUnicode(cnv, &dst, out + 4, &src, src + 1, nullptr, true, &err);
    if (U_FAILURE(err) || dst - out != 1) return -1;
    return static_cast<unsigned char>(out[0]);
}

// The unit a byte maps to, when it also maps back to that byte; else -1.
int roundTrip(UConverter* cnv, unsigned char b) {
    int u = decodeOneByte(cnv, b);
    return u < 0 || encodeOneUnit(cnv, static_cast<char16_t>(u)) != b ? -1 : u;
}

const PageInfo& pageInfo(uint32_t codePage) {
    return cachedPageInfo(codePage, [](uint32_t cp, PageInfo& info) {
        if (UConverter* cnv = openIcu(cp)) {
            info.hasTable = true;
            if (isSingleByteType(cnv))
                info.single = buildSingleByte([cnv](unsigned char b) { return roundTrip(cnv, b); });
            ucnv_close(cnv);
        }
    });
}

bool isCharError(UErrorCode err) {
    return err == U_INVALID_CHAR_FOUND || err == U_ILLEGAL_CHAR_FOUND || err == U_TRUNCATED_CHAR_FOUND;
}

}  // namespace

struct CodePage::Converter {
    UConverter* cnv;
    bool hz = false;  // HZ-GB-2312, framed by hzFrame
    bool gb = false;  // HZ: the output so far ends inside "~{"
};

namespace {

// ICU's HZ writes "~}" before text that is already ASCII, leaves the last GB
// run open and writes "~~" inside one. This drops escapes that change
// nothing, leaves GB mode before an ASCII escape and tracks the mode, so that
// each output can be closed in ASCII. At most doubles the bytes.
void hzFrame(const char* p, const char* end, unsigned char*& w, bool& gb) {
    while (p < end) {
        if (p[0] == '~' && p + 1 < end) {
            char c = p[1];
            if (c == '{' || c == '}') {
                if ((c == '{') != gb) {
                    *w++ = '~';
                    *w++ = static_cast<unsigned char>(c);
                    gb = c == '{';
                }
                p += 2;
                continue;
            }
            if (gb) {
                *w++ = '~';
                *w++ = '}';
                gb = false;
            }
        }
        int unit = (gb || p[0] == '~') && p + 1 < end ? 2 : 1;  // a GB pair, or "~~" and "~\n"
        for (int i = 0; i < unit; ++i) *w++ = static_cast<unsigned char>(*p++);
    }
}

}  // namespace

void CodePage::Closer::operator()(Converter* c) const {
    if (c) ucnv_close(c->cnv);
    delete c;
}

bool CodePage::hasTable(uint32_t codePage) { return pageInfo(codePage).hasTable; }

const SingleByteTable* CodePage::singleByte(uint32_t codePage) { return pageInfo(codePage).single.get(); }

bool CodePage::open(uint32_t codePage) {
    close();
    UConverter* cnv = openIcu(codePage);
    if (!cnv) return false;
    m_conv.reset(new Converter{cnv});
    m_conv->hz = codePage == 52936;
    return true;
}

void CodePage::close() { m_conv.reset(); }

CodePage::Status CodePage::fromUtf16(const char16_t*& in, const char16_t* end, unsigned char*& out,
                                     unsigned char* outEnd, char16_t bad[2], int& badLen) {
    badLen = 0;
    if (!m_conv) return Status::kError;
    UErrorCode err = U_ZERO_ERROR;
    const UChar* src = in;
    if (m_conv->hz) {
        // Through a buffer of half the room, as the framing may double it,
        // keeping two bytes for the closing "~}".
        size_t room = static_cast<size_t>(outEnd - out);
        std::vector<char> raw(room > 4 ? (room - 4) / 2 : 1);
        char* dst = raw.data();
        ucnv_fromUnicode(m_conv->cnv, &dst, raw.data() + (room > 4 ? raw.size() : 0), &src, end, nullptr, true, &err);
        hzFrame(raw.data(), dst, out, m_conv->gb);
    } else {
        char* dst = reinterpret_cast<char*>(out);
        ucnv_fromUnicode(m_conv->cnv, &dst, reinterpret_cast<char*>(outEnd), &src, end, nullptr, true, &err);
        out = reinterpret_cast<unsigned char*>(dst);
    }
    in = src;
    if (err == U_BUFFER_OVERFLOW_ERROR) return Status::kOutputFull;
    if (isCharError(err)) {
        int8_t len = 2;
        UErrorCode e2 = U_ZERO_ERROR;
        ucnv_getInvalidUChars(m_conv->cnv, bad, &len, &e2);
        badLen = U_SUCCESS(e2) ? len : 0;
        return Status::kBadChar;
    }
    if (U_FAILURE(err)) return Status::kError;
    if (m_conv->hz) shiftOut(out, outEnd);
    return Status::kDone;
}

bool CodePage::shiftOut(unsigned char*& out, unsigned char* outEnd) {
    if (!m_conv) return false;
    if (m_conv->hz) {
        if (!m_conv->gb) return true;
        if (outEnd - out < 2) return false;
        *out++ = '~';
        *out++ = '}';
        m_conv->gb = false;
        ucnv_resetFromUnicode(m_conv->cnv);
        return true;
    }
    // Flushing a stateful table ends its double-byte run and resets it.
    UErrorCode err = U_ZERO_ERROR;
    char* dst = reinterpret_cast<char*>(out);
    const UChar* none = nullptr;
    ucnv_fromUnicode(m_conv->cnv, &dst, reinterpret_cast<char*>(outEnd), &none, none, nullptr, true, &err);
    out = reinterpret_cast<unsigned char*>(dst);
    return U_SUCCESS(err);
}

CodePage::Status CodePage::toUtf16(const unsigned char*& in, const unsigned char* end, char16_t*& out,
                                   char16_t* outEnd, int& badLen) {
    badLen = 0;
    if (!m_conv) return Status::kError;
    UErrorCode err = U_ZERO_ERROR;
    UChar* dst = out;
    const char* src = reinterpret_cast<const char*>(in);
    ucnv_toUnicode(m_conv->cnv, &dst, outEnd, &src, reinterpret_cast<const char*>(end), nullptr, true, &err);
    in = reinterpret_cast<const unsigned char*>(src);
    out = dst;
    if (err == U_BUFFER_OVERFLOW_ERROR) return Status::kOutputFull;
    if (isCharError(err)) {
        char bytes[32];
        int8_t len = sizeof bytes;
        UErrorCode e2 = U_ZERO_ERROR;
        ucnv_getInvalidChars(m_conv->cnv, bytes, &len, &e2);
        badLen = U_SUCCESS(e2) ? len : 0;
        return Status::kBadChar;
    }
    return U_FAILURE(err) ? Status::kError : Status::kDone;
}

}  // namespace platform
}  // namespace ostmail
