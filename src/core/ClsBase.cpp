#include "core/ClsBase.h"

namespace ostmail {

void ClsBase::LastErrorText(XString& out) {
    StringBuffer sb;
    m_log.GetText(sb);
    out.setFromSb(sb);
}

void ClsBase::LastErrorXml(XString& out) {
    StringBuffer sb;
    m_log.GetXml(sb);
    out.setFromSb(sb);
}

void ClsBase::LastErrorHtml(XString& out) {
    StringBuffer sb;
    m_log.GetHtml(sb);
    out.setFromSb(sb);
}

bool ClsBase::SaveLastError(XString& path) { return SaveLastError(path.getUtf8()); }

bool ClsBase::SaveLastError(const char* utf8Path) {
    if (!utf8Path) return false;
    StringBuffer path(utf8Path);
    path.trimWhitespace();
    if (path.isEmpty()) return false;
    return m_log.SaveXml(path.getString());
}

void ClsBase::enterMethod(const char* name) {
    m_log.ClearLog();
    m_log.EnterContext(name, true);
}

}  // namespace ostmail
