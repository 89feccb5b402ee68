#include "smtp/SmtpMessage.h"

namespace ostmail {

SmtpTextMessage::~SmtpTextMessage() {
    for (ExtPtrArray& list : m_lists) list.removeAllObjects();
}

void SmtpTextMessage::addAddress(Kind kind, const char* address) {
    m_lists[kind].appendObject(new StringBuffer(address ? address : ""));
}

void SmtpTextMessage::addresses(Kind kind, ExtPtrArray& out) const {
    const ExtPtrArray& list = m_lists[kind];
    for (int32_t i = 0; i < list.getSize(); ++i) out.appendObject(new StringBuffer(*list.at<StringBuffer>(i)));
}

}  // namespace ostmail
