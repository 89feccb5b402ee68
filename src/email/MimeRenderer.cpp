#include "email/MimeRenderer.h"

#include "core/Charset.h"
#include "core/ContentCoding.h"
#include "core/DataBuffer.h"
#include "core/EncodingConvert.h"
#include "core/LogBase.h"
#include "email/Email2.h"
#include "email/HtmlCharset.h"
#include "platform/SysInfo.h"

#include <cstring>

namespace ostmail {

const char MimeRenderer::kPreamble[] = "This is a multi-part message in MIME format.\r\n\r\n";

// Collects output in one buffer; in the stream form the buffer is handed to
// the sink whenever it grows past a block, so memory stays bounded.
class MimeRenderer::Writer {
public:
    Writer(StringBuffer& out, MimeSink* sink, const char* prefix, LogBase& log)
        : out(out), sink(sink), prefix(prefix), log(log) {}

    bool flushIfLarge() { return out.getSize() < kBlock || flush(); }
    bool flush() {
        if (!sink || out.isEmpty()) return true;
        bool ok = sink->write(out.getString(), out.getSize());
        out.clear();
        return ok;
    }

    static const uint32_t kBlock = 256 * 1024;
    StringBuffer& out;
    MimeSink* sink;
    const char* prefix;
    LogBase& log;
};

namespace {

bool isAllSevenBit(const DataBuffer& b) {
    const unsigned char* p = b.getData();
    for (uint32_t i = 0, n = b.getSize(); i < n; ++i) {
        if (p[i] & 0x80) return false;
    }
    return true;
}

bool looksLikeUtf8(const DataBuffer& b) {
    const unsigned char* p = b.getData();
    for (uint32_t i = 0, n = b.getSize(); i + 1 < n; ++i) {
        if ((p[i] == 0xC2 || p[i] == 0xC3) && p[i + 1] >= 0x80) return true;
    }
    return false;
}

const Email2* findFirstOfType(const Email2& node, const char* type) {
    if (node.contentTypeIs(type)) return &node;
    for (int32_t i = 0; i < node.numParts(); ++i) {
        const Email2* hit = findFirstOfType(*node.partAt(i), type);
        if (hit) return hit;
    }
    return nullptr;
}

bool endsWithNoCase(const StringBuffer& s, const char* suffix) {
    size_t n = std::strlen(suffix);
    if (s.getSize() < n) return false;
    StringBuffer tail(s.getString() + s.getSize() - n);
    return tail.equalsIgnoreCase(suffix);
}

}  // namespace

// Base64 of a large body in whole-line blocks, so the stream form never
// holds the whole encoded text.
bool MimeRenderer::writeBase64Blocks(Writer& w, const DataBuffer& body) {
    ContentCoding cc;
    const size_t block = 54 * 4096;
    const unsigned char* p = body.getData();
    size_t left = body.getSize();
    while (left > block) {
        cc.encodeBase64(p, block, w.out);
        w.out.shorten(2);  // a whole-line block ends with an empty line
        if (!w.flush()) return false;
        p += block;
        left -= block;
    }
    cc.encodeBase64(p, left, w.out);
    return w.flushIfLarge();
}

uint32_t MimeRenderer::emissionCharset(const Email2& root, const Email2& node, int depth) {
    uint32_t cp = root.charset();
    if (cp == 0) {
        if (depth == 0) {
            const Email2* hit = findFirstOfType(root, "text/html");
            if (hit) cp = hit->charset();
            if (cp == 0) {
                hit = findFirstOfType(root, "text/plain");
                if (hit) cp = hit->charset();
            }
        } else {
            cp = node.charset();
        }
    }
    if (cp == 0 && !node.defaultCharsetName().isEmpty()) cp = Charset::codePageOfName(node.defaultCharsetName().getString());
    if (countsAsAttachment(node) && node.charset() != 0) cp = node.charset();
    return cp;
}

bool MimeRenderer::countsAsAttachment(const Email2& node) {
    const StringBuffer& disp = node.disposition();
    const StringBuffer& type = node.contentType();
    if (type.equalsIgnoreCase("message/rfc822")) {
        return disp.equalsIgnoreCase("attachment") && endsWithNoCase(node.filename(), ".mht");
    }
    if (disp.equalsIgnoreCase("attachment") || type.beginsWithIgnoreCase("application/")) return true;
    if (!disp.equalsIgnoreCase("inline")) {
        const StringBuffer& name = node.nameParam();
        if (!name.isEmpty() && node.transferEncoding().equalsIgnoreCase("base64")) return true;
        return endsWithNoCase(name, ".pem") || endsWithNoCase(name, ".pmi") || endsWithNoCase(name, ".gtr");
    }
    if (node.isMultipart()) return false;
    return !node.filename().isEmpty() || (type.beginsWithIgnoreCase("image/") && type.containsSubstringNoCase("-tiff"));
}

// A text part without a charset whose bytes are not ASCII: UTF-8 is kept,
// anything else is read as ISO-8859-1; either way the part is labelled
// ISO-8859-1 and converted to it on output.
void MimeRenderer::normaliseText(Email2& node, uint32_t cp) {
    const StringBuffer& type = node.contentType();
    if (node.disposition().equalsIgnoreCase("attachment") || node.isMultipart()) return;
    if (!type.isEmpty() && !type.containsSubstringNoCase("text/")) return;
    if (!type.isEmpty() && cp != 0) return;
    const DataBuffer& body = node.body();
    if (isAllSevenBit(body) || std::memchr(body.getData(), 0, body.getSize())) return;
    if (!looksLikeUtf8(body)) {
        EncodingConvert conv;
        LogNull quiet;
        DataBuffer utf8;
        conv.convert(28591, 65001, body.getData(), body.getSize(), utf8, quiet);
        if (!utf8.isEmpty()) node.bodyRw().swap(utf8);
    }
    StringBuffer t(type.isEmpty() ? "text/plain" : type.getString());
    node.setContentType(t.getString(), node.nameParam().getString(), nullptr, nullptr, 28591,
                        node.boundary().getString(), nullptr, nullptr);
    if (node.transferEncoding().isEmpty()) node.setTransferEncoding("quoted-printable");
}

// A text body its charset cannot hold whole goes out in UTF-8 instead, so no
// character is lost; the part's Content-Type follows.
bool MimeRenderer::prepareTextBody(Email2& node, DataBuffer& out, LogBase& log) {
    const DataBuffer& in = node.body();
    if (!node.contentType().beginsWithIgnoreCase("text/") || node.charset() == 0 || node.charset() == 65001 ||
        in.isEmpty())
        return false;
    uint32_t cp = node.charset() == 20127 ? platform::ansiCodePage() : node.charset();
    EncodingConvert conv;
    out.ensureCapacity(in.getSize());
    if (!conv.convert(65001, cp, in.getData(), in.getSize(), out, log) || (out.isEmpty() && !in.isEmpty())) {
        log.LogInfo("Character encoding conversion failed.");
        log.LogDataLong("NumCharsIn", static_cast<int32_t>(in.getSize()));
        log.LogDataLong("Charset", static_cast<int32_t>(cp));
        log.LogDataLong("ConvertedToNumBytes", static_cast<int32_t>(out.getSize()));
        log.LogInfo("Sending the text as utf-8.");
        out.clear();
        out.append(in);
        node.setCharset(cp = 65001);
    }
    if (node.contentTypeIs("text/html") && cp != 1200 && cp != 1201) HtmlCharset::declare(out, cp);
    return true;
}

bool MimeRenderer::writeLeafBody(Writer& w, Email2& node, const DataBuffer& body) {
    const StringBuffer& cte = node.transferEncoding();
    ContentCoding cc;
    if (cte.equalsIgnoreCase("base64")) {
        if (w.sink) return writeBase64Blocks(w, body);
        cc.encodeBase64(body.getData(), body.getSize(), w.out);
    } else if (cte.equalsIgnoreCase("quoted-printable")) {
        cc.encodeQuotedPrintable(body.getData(), body.getSize(), w.out);
    } else if (!body.isEmpty()) {
        w.out.appendN(body.getData(), body.getSize());
    }
    return w.flushIfLarge();
}

bool MimeRenderer::renderNode(Writer& w, Email2& root, Email2& node, int depth, bool convert8bit) {
    if (node.contentTypeIs("message/rfc822")) convert8bit = false;
    uint32_t cp = emissionCharset(root, node, depth);
    if (convert8bit && node.transferEncoding().equalsIgnoreCase("8bit")) node.setTransferEncoding("quoted-printable");
    normaliseText(node, cp);
    if (node.contentTypeIs("multipart/alternative")) node.header().removeField("Content-Transfer-Encoding");
    DataBuffer converted;
    bool useConverted = !node.isMultipart() && prepareTextBody(node, converted, w.log);
    node.header().emit(w.out, w.prefix, cp, w.log);
    w.out.append("\r\n\r\n");
    if (!node.isMultipart()) return writeLeafBody(w, node, useConverted ? converted : node.body());
    w.out.append(kPreamble);
    for (int32_t i = 0; i < node.numParts(); ++i) {
        w.out.append("--");
        w.out.append(node.boundary());
        w.out.append("\r\n");
        if (!renderNode(w, root, *node.partAt(i), depth + 1, convert8bit)) return false;
        w.out.append("\r\n");
    }
    w.out.append("--");
    w.out.append(node.boundary());
    w.out.append("--\r\n");
    return w.flushIfLarge();
}

uint64_t MimeRenderer::sizeBound(const Email2& node) {
    uint64_t n = 256;
    const MimeHeader& h = node.header();
    for (int32_t i = 0; i < h.count(); ++i) n += 4u * h.fieldAt(i)->sizeEstimate() + 64;
    uint64_t body = node.body().getSize();
    if (node.transferEncoding().equalsIgnoreCase("base64")) n += (body + 2) / 3 * 4 + 2 * (body / 54) + 8;
    else n += 3 * body + 3 * (body / 24) + 8;
    for (int32_t i = 0; i < node.numParts(); ++i) n += sizeBound(*node.partAt(i)) + 2 * node.boundary().getSize() + 16;
    return n + sizeof(kPreamble);
}

void MimeRenderer::render(Email2& root, StringBuffer& out, const char* skipPrefix, bool convert8bit, LogBase& log) {
    LogContextExitor ctx(log, "renderMime");
    uint64_t bound = sizeBound(root);
    if (bound < 0xF0000000u) out.expectNumBytes(static_cast<size_t>(bound));
    Writer w(out, nullptr, skipPrefix, log);
    renderNode(w, root, root, 0, convert8bit);
}

bool MimeRenderer::render(Email2& root, MimeSink& sink, const char* skipPrefix, bool convert8bit, LogBase& log) {
    LogContextExitor ctx(log, "renderMime");
    StringBuffer block;
    block.expectNumBytes(Writer::kBlock + 64 * 1024);
    Writer w(block, &sink, skipPrefix, log);
    return renderNode(w, root, root, 0, convert8bit) && w.flush();
}

}  // namespace ostmail
