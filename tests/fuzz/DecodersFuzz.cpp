// The decoders and parsers that read text from outside: encoded words,
// base64, quoted-printable, uuencode, address lists, dates, HTML charset
// declarations and conversions between any two code pages.
#include "FuzzInput.h"
#include "core/ContentCoding.h"
#include "core/DataBuffer.h"
#include "core/EncodingConvert.h"
#include "core/ExtPtrArray.h"
#include "core/LogBase.h"
#include "core/StringBuffer.h"
#include "email/EmailDate.h"
#include "email/HtmlCharset.h"
#include "email/Rfc822Address.h"

using namespace ostmail;

namespace {

// The library's own forms first, then a spread of table-driven pages.
const uint32_t kCodePages[] = {65001, 1200,  1201,  12000, 12001, 65000, 50220, 50221, 50222, 50225, 51932,
                               932,   936,   949,   950,   54936, 52936, 1252,  1256,  10004, 437,   28591,
                               20127, 28595, 20866, 874,   1258,  51949, 20932, 0,     99999, 1250};

}  // namespace

void fuzzTarget(fuzz::FuzzInput& in) {
    uint8_t which = in.byte() % 9;
    // Conversions take a source, a target and the error handling first.
    uint32_t src = which == 8 ? kCodePages[in.byte() % std::size(kCodePages)] : 0;
    uint32_t dst = which == 8 ? kCodePages[in.byte() % std::size(kCodePages)] : 0;
    uint8_t how = which == 8 ? in.byte() : 0;
    std::string text = in.rest();
    DataBuffer bytes;
    StringBuffer sb(text.data(), text.size()), out;
    bool flag = false;
    uint32_t mode = 0;
    ExtPtrArray list;
    EncodingConvert conv;
    EmailDateValue date;
    LogNull log;
    switch (which) {
        case 0: ContentCoding::decodeBase64(text.data(), text.size(), bytes); break;
        case 1: ContentCoding::decodeQuotedPrintable(text.data(), text.size(), bytes); break;
        case 2: ContentCoding::uudecode(text.data(), text.size(), bytes, mode, out); break;
        case 3: ContentCoding::decodeWordsToUtf8(sb); break;
        case 4: ContentCoding::decodeWordsRaw(sb, out); break;
        case 5: ContentCoding::decodeWordsForAddressList(sb, flag); break;
        case 6:
            Rfc822Address::parseAddressList(text.c_str(), list, text.size() & 1);
            Rfc822Address::formatList(list, true, out);
            Rfc822Address::formatList(list, false, out);
            list.removeAllObjects();
            break;
        case 7:
            EmailDate::parse(text.c_str(), date);
            bytes.append(text.data(), text.size());
            HtmlCharset::ensureDeclared(bytes, text.c_str() + text.size() / 2);
            break;
        case 8:
            conv.setErrorAction(how & 7);
            conv.setMarkerFlag(how & 8);
            conv.setAltCodePage(how & 16 ? 1252 : 0);
            conv.convert(src, dst, text.data(), text.size(), bytes, log);
            break;
    }
}
