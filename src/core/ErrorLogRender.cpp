#include "core/ErrorLog.h"

#include <cstring>

namespace ostmail {

namespace {

const char kCrLf[] = "\r\n";

const char* textOf(const std::unique_ptr<StringBuffer>& sb) { return sb ? sb->getString() : ""; }

template <class Fn>
void forEachChild(const LogEntry2& node, Fn fn) {
    if (!node.children) return;
    for (int32_t i = 0; i < node.children->getSize(); ++i) {
        const LogEntry2* child = node.children->at<LogEntry2>(i);
        if (child) fn(*child);
    }
}

void textNode(const LogEntry2& node, int depth, StringBuffer& out) {
    out.appendCharN(' ', static_cast<size_t>(depth) * 2);
    switch (node.kind) {
    case LogEntry2::kContext:
        out.append(textOf(node.tag));
        out.append(":\r\n");
        forEachChild(node, [&](const LogEntry2& c) { textNode(c, depth + 1, out); });
        return;
    case LogEntry2::kData:
        out.append(textOf(node.tag));
        out.append(": ");
        break;
    default:
        break;
    }
    out.append(textOf(node.text));
    out.append(kCrLf);
}

// Text that would break the markup goes into a CDATA section, unless the
// caller has already put it into one.
void appendXmlText(const char* s, StringBuffer& out) {
    bool hasCdata = std::strstr(s, "<![CDATA[") && std::strstr(s, "]]>");
    if (!hasCdata && std::strpbrk(s, "\n\t&<>")) {
        out.append("<![CDATA[");
        out.append(s);
        out.append("]]>");
        return;
    }
    out.append(s);
}

void appendElement(const char* name, const char* value, StringBuffer& out) {
    out.appendChar('<');
    out.append(name);
    out.appendChar('>');
    appendXmlText(value, out);
    out.append("</");
    out.append(name);
    out.append(">\r\n");
}

void xmlNode(const LogEntry2& node, StringBuffer& out) {
    switch (node.kind) {
    case LogEntry2::kContext:
        out.appendChar('<');
        out.append(textOf(node.tag));
        out.append(">\r\n");
        forEachChild(node, [&](const LogEntry2& c) { xmlNode(c, out); });
        out.append("</");
        out.append(textOf(node.tag));
        out.append(">\r\n");
        break;
    case LogEntry2::kError:
        appendElement("error", textOf(node.text), out);
        break;
    case LogEntry2::kData:
        appendElement(textOf(node.tag), textOf(node.text), out);
        break;
    case LogEntry2::kLine:
        out.append(textOf(node.text));
        out.append(kCrLf);
        break;
    default:
        appendElement("info", textOf(node.text), out);
        break;
    }
}

void appendHtmlEscaped(const char* s, StringBuffer& out) {
    while (*s) {
        size_t plain = std::strcspn(s, "&<>\"");
        if (plain) out.appendN(s, plain);
        s += plain;
        switch (*s) {
        case '&': out.append("&amp;"); break;
        case '<': out.append("&lt;"); break;
        case '>': out.append("&gt;"); break;
        case '"': out.append("&quot;"); break;
        default: return;
        }
        ++s;
    }
}

void htmlNode(const LogEntry2& node, StringBuffer& out) {
    if (node.kind == LogEntry2::kContext) {
        out.append(textOf(node.tag));
        out.append(":<blockquote>\r\n");
        forEachChild(node, [&](const LogEntry2& c) { htmlNode(c, out); });
        out.append("</blockquote>\r\n");
        return;
    }
    if (node.kind == LogEntry2::kData) {
        out.append(textOf(node.tag));
        out.append(": ");
    }
    appendHtmlEscaped(textOf(node.text), out);
    out.append("<br>\r\n");
}

}  // namespace

void ErrorLog::renderText(StringBuffer& out) const {
    if (root()) textNode(*root(), 0, out);
}

void ErrorLog::renderXml(StringBuffer& out) const {
    if (root()) xmlNode(*root(), out);
}

void ErrorLog::renderHtml(StringBuffer& out) const {
    if (root()) htmlNode(*root(), out);
}

}  // namespace ostmail
