#include "email/AttachmentFile.h"
#include "email/ClsEmail.h"
#include "email/ContentTypeTable.h"

namespace ostmail {

bool ClsEmail::AddFileAttachmentOfType(XString& path, XString& contentType) {
    MethodFrame frame(m_log, "AddFileAttachment");
    if (!checkEmail(m_log)) return false;
    m_log.LogData("path", path.getUtf8());
    AttachmentInfo info;
    if (!AttachmentFile::prepare(path.getUtf8(), contentType.getUtf8(), info, m_log)) {
        m_log.LogError("Failed to add file attachment");
        return false;
    }
    m_log.LogDataSb("contentType", info.contentType);
    return m_email->addAttachmentPart(info, m_log);
}

bool ClsEmail::AddDataAttachment(XString& fileName, XString& contentType, const void* data, size_t n) {
    MethodFrame frame(m_log, "AddDataAttachment");
    if (!checkEmail(m_log)) return false;
    if (fileName.isEmpty()) {
        m_log.LogError("Attachment has no file name");
        return false;
    }
    AttachmentInfo info;
    info.fileName.append(fileName.getUtf8());
    if (contentType.isEmpty()) ContentTypeTable::typeForPath(fileName.getUtf8(), info.contentType);
    else info.contentType.append(contentType.getUtf8());
    info.transferEncoding.append(AttachmentFile::transferEncodingFor(info.contentType.getString()));
    if (n && !info.body.append(data, n)) {
        m_log.LogError("Out of memory for the attachment");
        return false;
    }
    m_log.LogDataSb("contentType", info.contentType);
    return m_email->addAttachmentPart(info, m_log);
}

}  // namespace ostmail
