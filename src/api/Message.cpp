#include "api/MessageImpl.h"

#include <new>

namespace ostmail {

Message::Message() : m_impl(std::make_unique<Impl>()) {}
Message::~Message() = default;
Message::Message(const Message& other) : m_impl(std::make_unique<Impl>(*other.m_impl)) {}
Message& Message::operator=(const Message& other) {
    if (this != &other) *m_impl = *other.m_impl;
    return *this;
}
// A moved-from message is empty, not broken.
Message::Message(Message&& other) noexcept : m_impl(std::move(other.m_impl)) {
    other.m_impl.reset(new (std::nothrow) Impl());
}
Message& Message::operator=(Message&& other) noexcept {
    if (this != &other) std::swap(m_impl, other.m_impl);
    return *this;
}

void Message::setFrom(const std::string& address, const std::string& name) { m_impl->from = {address, name}; }
void Message::addTo(const std::string& address, const std::string& name) { m_impl->to.push_back({address, name}); }
void Message::addCc(const std::string& address, const std::string& name) { m_impl->cc.push_back({address, name}); }
void Message::addBcc(const std::string& address, const std::string& name) { m_impl->bcc.push_back({address, name}); }
void Message::setReplyTo(const std::string& address) { m_impl->replyTo = address; }
void Message::setSubject(const std::string& subject) { m_impl->subject = subject; }
void Message::setText(const std::string& text) { m_impl->text = text; }
void Message::setHtml(const std::string& html) { m_impl->html = html; }

void Message::attachFile(const std::string& path, const std::string& contentType) {
    Impl::Attachment a;
    a.fromFile = true;
    a.pathOrName = path;
    a.contentType = contentType;
    m_impl->attachments.push_back(std::move(a));
}

void Message::attachInline(const std::string& path, const std::string& contentId) {
    Impl::Attachment a;
    a.fromFile = true;
    a.pathOrName = path;
    a.contentId = contentId;
    m_impl->attachments.push_back(std::move(a));
}

void Message::attachData(const std::string& fileName, const std::string& data, const std::string& contentType) {
    Impl::Attachment a;
    a.pathOrName = fileName;
    a.data = data;
    a.contentType = contentType;
    m_impl->attachments.push_back(std::move(a));
}

void Message::addHeader(const std::string& name, const std::string& value) {
    m_impl->headers.emplace_back(name, value);
}

}  // namespace ostmail
