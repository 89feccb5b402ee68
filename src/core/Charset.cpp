#include "core/Charset.h"

#include "platform/SysInfo.h"

#include <string>
#include <unordered_map>

namespace ostmail {

namespace {

struct NamedPage {
    uint32_t codePage;
    const char* name;
};

// Canonical names serve both directions. "shift_jis" and "ks_c_5601-1987"
// are never matched as written (names are compared with '_' made '-'), so
// their aliases below carry them.
const NamedPage kCanonical[] = {
    {37, "ibm037"}, {437, "ibm437"}, {500, "ibm500"}, {708, "asmo-708"}, {720, "dos-720"}, {737, "ibm737"},
    {775, "ibm775"}, {850, "ibm850"}, {852, "ibm852"}, {855, "ibm855"}, {857, "ibm857"}, {858, "ibm00858"},
    {860, "ibm860"}, {861, "ibm861"}, {862, "dos-862"}, {863, "ibm863"}, {864, "ibm864"}, {865, "ibm865"},
    {866, "cp866"}, {869, "ibm869"}, {870, "ibm870"}, {874, "windows-874"}, {875, "cp875"},
    {932, "shift_jis"}, {936, "gb2312"}, {949, "ks_c_5601-1987"}, {950, "big5"}, {1026, "ibm1026"},
    {1047, "ibm01047"}, {1140, "ibm01140"}, {1141, "ibm01141"}, {1142, "ibm01142"}, {1143, "ibm01143"},
    {1144, "ibm01144"}, {1145, "ibm01145"}, {1146, "ibm01146"}, {1147, "ibm01147"}, {1148, "ibm01148"},
    {1149, "ibm01149"}, {1200, "unicode"}, {1201, "unicodefffe"}, {1250, "windows-1250"},
    {1251, "windows-1251"}, {1252, "windows-1252"}, {1253, "windows-1253"}, {1254, "windows-1254"},
    {1255, "windows-1255"}, {1256, "windows-1256"}, {1257, "windows-1257"}, {1258, "windows-1258"},
    {1361, "johab"}, {10000, "macintosh"}, {10001, "x-mac-japanese"}, {10002, "x-mac-chinesetrad"},
    {10003, "x-mac-korean"}, {10004, "x-mac-arabic"}, {10005, "x-mac-hebrew"}, {10006, "x-mac-greek"},
    {10007, "x-mac-cyrillic"}, {10008, "x-mac-chinesesimp"}, {10010, "x-mac-romanian"},
    {10017, "x-mac-ukrainian"}, {10021, "x-mac-thai"}, {10029, "x-mac-ce"}, {10079, "x-mac-icelandic"},
    {10081, "x-mac-turkish"}, {10082, "x-mac-croatian"}, {20000, "x-chinese-cns"}, {20001, "x-cp20001"},
    {20002, "x-chinese-eten"}, {20003, "x-cp20003"}, {20004, "x-cp20004"}, {20005, "x-cp20005"},
    {20105, "x-ia5"}, {20106, "x-ia5-german"}, {20107, "x-ia5-swedish"}, {20108, "x-ia5-norwegian"},
    {20127, "us-ascii"}, {20261, "x-cp20261"}, {20269, "x-cp20269"}, {20273, "ibm273"}, {20277, "ibm277"},
    {20278, "ibm278"}, {20280, "ibm280"}, {20284, "ibm284"}, {20285, "ibm285"}, {20290, "ibm290"},
    {20297, "ibm297"}, {20420, "ibm420"}, {20423, "ibm423"}, {20424, "ibm424"},
    {20833, "x-ebcdic-koreanextended"}, {20838, "ibm-thai"}, {20866, "koi8-r"}, {20871, "ibm871"},
    {20880, "ibm880"}, {20905, "ibm905"}, {20924, "ibm00924"}, {20936, "x-cp20936"}, {20949, "x-cp20949"},
    {21025, "cp1025"}, {21866, "koi8-u"}, {28591, "iso-8859-1"}, {28592, "iso-8859-2"}, {28593, "iso-8859-3"},
    {28594, "iso-8859-4"}, {28595, "iso-8859-5"}, {28596, "iso-8859-6"}, {28597, "iso-8859-7"},
    {28598, "iso-8859-8"}, {28599, "iso-8859-9"}, {28603, "iso-8859-13"}, {28605, "iso-8859-15"},
    {29001, "x-europa"}, {38598, "iso-8859-8-i"}, {50220, "iso-2022-jp"}, {50221, "csiso2022jp"},
    {50225, "iso-2022-kr"}, {50227, "x-cp50227"}, {51932, "euc-jp"}, {51936, "euc-cn"}, {51949, "euc-kr"},
    {52936, "hz-gb-2312"}, {54936, "gb18030"}, {57002, "x-iscii-de"}, {57003, "x-iscii-be"},
    {57004, "x-iscii-ta"}, {57005, "x-iscii-te"}, {57006, "x-iscii-as"}, {57007, "x-iscii-or"},
    {57008, "x-iscii-ka"}, {57009, "x-iscii-ma"}, {57010, "x-iscii-gu"}, {57011, "x-iscii-pa"},
    {65000, "utf-7"}, {65001, "utf-8"}, {65005, "utf-32"}, {65006, "utf-32be"},
};

// "ansi" is answered by the system's ANSI code page before this table is
// consulted, so its 0 is never returned.
const NamedPage kAliases[] = {
    {0, "ansi"}, {950, "big5-hkscs"}, {37, "ebcdic"}, {51950, "euc-tw"}, {20420, "ebcdic-cp-ar1"},
    {500, "ebcdic-cp-be"}, {37, "ebcdic-cp-ca"}, {500, "ebcdic-cp-ch"}, {20277, "ebcdic-cp-dk"},
    {20284, "ebcdic-cp-es"}, {20278, "ebcdic-cp-fi"}, {20297, "ebcdic-cp-fr"}, {20285, "ebcdic-cp-gb"},
    {20423, "ebcdic-cp-gr"}, {20424, "ebcdic-cp-he"}, {20871, "ebcdic-cp-is"}, {20280, "ebcdic-cp-it"},
    {37, "ebcdic-cp-nl"}, {20277, "ebcdic-cp-no"}, {870, "ebcdic-cp-roece"}, {20278, "ebcdic-cp-se"},
    {20905, "ebcdic-cp-tr"}, {37, "ebcdic-cp-us"}, {37, "ebcdic-cp-wt"}, {870, "ebcdic-cp-yu"},
    {20880, "ebcdic-cyrillic"}, {1141, "ebcdic-de-273+euro"}, {1142, "ebcdic-dk-277+euro"},
    {1145, "ebcdic-es-284+euro"}, {1143, "ebcdic-fi-278+euro"}, {1147, "ebcdic-fr-297+euro"},
    {1146, "ebcdic-gb-285+euro"}, {1149, "ebcdic-is-871+euro"}, {1144, "ebcdic-it-280+euro"},
    {20290, "ebcdic-jp-kana"}, {20924, "ebcdic-latin9--euro"}, {1142, "ebcdic-no-277+euro"},
    {1143, "ebcdic-se-278+euro"}, {1140, "ebcdic-us-37+euro"}, {28596, "ecma-114"}, {28597, "ecma-118"},
    {28597, "elot-928"}, {28598, "hebrew"}, {20127, "ansi-x3.4-1968"}, {20127, "ansi-x3.4-1986"},
    {28596, "arabic"}, {20127, "ascii"}, {709, "asmo-449"}, {709, "asmo-449+"}, {949, "ks-c-5601-1987"},
    {20866, "koi"}, {20866, "koi8"}, {21866, "koi8-ru"}, {20866, "koi8r"}, {949, "korean"},
    {949, "ks-c-5601"}, {949, "ks-c5601"}, {949, "ksc5601"}, {949, "ksc-5601"}, {949, "ks-c-5601-1989"},
    {28591, "l1"}, {28592, "l2"}, {28593, "l3"}, {28594, "l4"}, {28599, "l5"}, {28605, "l9"},
    {28591, "latin1"}, {28592, "latin2"}, {28593, "latin3"}, {28594, "latin4"}, {28599, "latin5"},
    {28591, "latin-1"}, {28592, "latin-2"}, {28593, "latin-3"}, {28594, "latin-4"}, {28599, "latin-5"},
    {28605, "latin9"}, {28605, "latin-9"}, {38598, "logical"}, {10000, "macroman"}, {10001, "macjapanese"},
    {10002, "macchinesetrad"}, {10003, "mackorean"}, {10004, "macarabic"}, {10005, "machebrew"},
    {10006, "macgreek"}, {10007, "maccyrillic"}, {10008, "macchinesesimp"}, {10029, "maccentraleurope"},
    {10079, "macicelandic"}, {10081, "macturkish"}, {932, "ms-kanji"}, {20108, "norwegian"},
    {20108, "ns-4551-1"}, {932, "shift-jis"}, {20107, "sen-850200-b"}, {932, "sjis"}, {20107, "swedish"},
    {874, "tis-620"}, {28598, "visual"}, {54936, "gb18030-2000"}, {936, "gb2312-80"}, {936, "gbk"},
    {936, "gb-2312-80"}, {20106, "german"}, {28597, "greek"}, {28597, "greek8"}, {20106, "din-66003"},
    {874, "dos-874"}, {858, "cp00858"}, {20924, "cp00924"}, {1140, "cp01140"}, {1141, "cp01141"},
    {1142, "cp01142"}, {1143, "cp01143"}, {1144, "cp01144"}, {1145, "cp01145"}, {1146, "cp01146"},
    {1147, "cp01147"}, {1148, "cp01148"}, {1149, "cp01149"}, {37, "cp037"}, {1026, "cp1026"},
    {1256, "cp1256"}, {20273, "cp273"}, {20278, "cp278"}, {20280, "cp280"}, {20284, "cp284"},
    {20285, "cp285"}, {20290, "cp290"}, {20297, "cp297"}, {20127, "cp367"}, {20420, "cp420"},
    {20423, "cp423"}, {20424, "cp424"}, {437, "cp437"}, {500, "cp500"}, {50227, "cp50227"}, {28591, "cp819"},
    {850, "cp850"}, {852, "cp852"}, {855, "cp855"}, {857, "cp857"}, {858, "cp858"}, {860, "cp860"},
    {861, "cp861"}, {862, "cp862"}, {863, "cp863"}, {864, "cp864"}, {865, "cp865"}, {869, "cp869"},
    {870, "cp870"}, {20871, "cp871"}, {20880, "cp880"}, {20905, "cp905"}, {50930, "cp930"}, {50933, "cp933"},
    {50935, "cp935"}, {50937, "cp937"}, {50939, "cp939"}, {20127, "csascii"}, {950, "csbig5"},
    {51949, "cseuckr"}, {51932, "cseucpkdfmtjapanese"}, {936, "csgb2312"}, {936, "csgb231280"},
    {37, "csibm037"}, {1026, "csibm1026"}, {20273, "csibm273"}, {20277, "csibm277"}, {20278, "csibm278"},
    {20280, "csibm280"}, {20284, "csibm284"}, {20285, "csibm285"}, {20290, "csibm290"}, {20297, "csibm297"},
    {20420, "csibm420"}, {20423, "csibm423"}, {20424, "csibm424"}, {500, "csibm500"}, {870, "csibm870"},
    {20871, "csibm871"}, {20880, "csibm880"}, {20905, "csibm905"}, {20838, "csibmthai"},
    {50225, "csiso2022kr"}, {936, "csiso58gb231280"}, {28591, "csisolatin1"}, {28592, "csisolatin2"},
    {28593, "csisolatin3"}, {28594, "csisolatin4"}, {28599, "csisolatin5"}, {28605, "csisolatin9"},
    {28596, "csisolatinarabic"}, {28595, "csisolatincyrillic"}, {28597, "csisolatingreek"},
    {28598, "csisolatinhebrew"}, {20866, "cskoi8r"}, {949, "csksc56011987"}, {437, "cspc8codepage437"},
    {932, "csshiftjis"}, {65000, "csunicode11utf7"}, {932, "cswindows31j"}, {936, "chinese"},
    {950, "cn-big5"}, {936, "cn-gb"}, {28595, "cyrillic"}, {858, "ccsid00858"}, {20924, "ccsid00924"},
    {1140, "ccsid01140"}, {1141, "ccsid01141"}, {1142, "ccsid01142"}, {1143, "ccsid01143"},
    {1144, "ccsid01144"}, {1145, "ccsid01145"}, {1146, "ccsid01146"}, {1147, "ccsid01147"},
    {1148, "ccsid01148"}, {1149, "ccsid01149"}, {1250, "x-cp1250"}, {1251, "x-cp1251"}, {21027, "x-cp21027"},
    {1252, "x-ansi"}, {50931, "x-ebcdic-japaneseanduscanada"}, {51932, "x-euc"}, {51936, "x-euc-cn"},
    {51932, "x-euc-jp"}, {932, "x-ms-cp932"}, {932, "x-sjis"}, {65000, "x-unicode-1-1-utf-7"},
    {65001, "x-unicode-1-1-utf-8"}, {65000, "x-unicode-2-0-utf-7"}, {65001, "x-unicode-2-0-utf-8"},
    {50000, "x-user-defined"}, {950, "x-x-big5"}, {65001, "utf8"}, {1200, "utf-16"}, {1200, "utf16"},
    {1200, "ucs-2"}, {1200, "ucs2"}, {65000, "unicode-1-1-utf-7"}, {65001, "unicode-1-1-utf-8"},
    {65000, "unicode-2-0-utf-7"}, {65001, "unicode-2-0-utf-8"}, {20127, "us"}, {1201, "utf-16be"},
    {1200, "utf-16le"}, {874, "iso-8859-11"}, {1200, "iso-10646-ucs-2"}, {51932, "iso-2022-jpeuc"},
    {50225, "iso-2022-kr-7"}, {50225, "iso-2022-kr-7bit"}, {51949, "iso-2022-kr-8"},
    {51949, "iso-2022-kr-8bit"}, {28598, "iso-8859-8 visual"}, {28591, "iso-ir-100"}, {28592, "iso-ir-101"},
    {28593, "iso-ir-109"}, {28594, "iso-ir-110"}, {28597, "iso-ir-126"}, {28596, "iso-ir-127"},
    {28598, "iso-ir-138"}, {28595, "iso-ir-144"}, {28599, "iso-ir-148"}, {949, "iso-ir-149"},
    {936, "iso-ir-58"}, {20127, "iso-ir-6"}, {20127, "iso646-us"}, {20127, "iso-646.irv:1991"},
    {28591, "iso-8859-1:1987"}, {28592, "iso-8859-2:1987"}, {28593, "iso-8859-3:1988"},
    {28594, "iso-8859-4:1988"}, {28595, "iso-8859-5:1988"}, {28596, "iso-8859-6:1987"},
    {28597, "iso-8859-7:1987"}, {28598, "iso-8859-8:1988"}, {28599, "iso-8859-9:1989"},
    {50221, "iso-2022-jp-1"}, {50221, "iso-2022-jp-2"}, {20127, "ibm367"}, {28591, "ibm819"}, {862, "ibm862"},
    {866, "ibm866"}, {20105, "irv"},
};

std::string normalise(const char* name) {
    std::string s(name);
    const char* ws = " \t\r\n";
    size_t b = s.find_first_not_of(ws);
    if (b == std::string::npos) return std::string();
    s = s.substr(b, s.find_last_not_of(ws) - b + 1);
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c == '_') c = '-';
    }
    return s;
}

const std::unordered_map<std::string, uint32_t>& nameIndex() {
    static const std::unordered_map<std::string, uint32_t> index = [] {
        std::unordered_map<std::string, uint32_t> m;
        // emplace keeps the first entry of a name: canonical names win.
        for (const NamedPage& e : kCanonical) m.emplace(e.name, e.codePage);
        for (const NamedPage& e : kAliases) m.emplace(e.name, e.codePage);
        return m;
    }();
    return index;
}

const char* canonicalName(uint32_t codePage) {
    if (codePage == 50222) return "iso-2022-jp";
    for (const NamedPage& e : kCanonical) {
        if (e.codePage == codePage) return e.name;
    }
    return nullptr;
}

}  // namespace

uint32_t Charset::codePageOfName(const char* name) {
    if (!name) return 0;
    std::string s = normalise(name);
    if (s.size() < 3) return 0;
    if (s == "ansi") return platform::ansiCodePage();
    const auto& index = nameIndex();
    auto it = index.find(s);
    return it == index.end() ? 0 : it->second;
}

bool Charset::nameOfCodePage(uint32_t codePage, StringBuffer& out) {
    const char* name = canonicalName(codePage);
    if (!name) return false;
    return out.append(name);
}

void Charset::clear() {
    m_codePage = 0;
    m_name.clear();
}

void Charset::setByName(const char* name) {
    clear();
    if (!name) return;
    if (std::string(name) == "default" || std::string(name) == "x-user-defined") return;
    std::string s = normalise(name);
    uint32_t cp = 0;
    if (s == "oem") {
        cp = platform::oemCodePage();
    } else {
        cp = codePageOfName(name);
    }
    if (cp == 0) return;
    m_codePage = cp;
    // A page known only by an alias keeps the name it was given.
    if (!nameOfCodePage(cp, m_name)) m_name.append(s.c_str());
}

void Charset::setByCodePage(uint32_t codePage) {
    clear();
    m_codePage = codePage;
    nameOfCodePage(codePage, m_name);
}

}  // namespace ostmail
