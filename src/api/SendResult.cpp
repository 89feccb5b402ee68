#include "api/SendResultImpl.h"

#include "core/StringBuffer.h"

#include <new>

namespace ostmail {

SendResult::SendResult() : m_impl(std::make_unique<Impl>()) {}
SendResult::~SendResult() = default;
SendResult::SendResult(const SendResult& other) : m_impl(std::make_unique<Impl>(*other.m_impl)) {}
SendResult& SendResult::operator=(const SendResult& other) {
    if (this != &other) *m_impl = *other.m_impl;
    return *this;
}
SendResult::SendResult(SendResult&& other) noexcept : m_impl(std::move(other.m_impl)) {
    other.m_impl.reset(new (std::nothrow) Impl());
}
SendResult& SendResult::operator=(SendResult&& other) noexcept {
    if (this != &other) std::swap(m_impl, other.m_impl);
    return *this;
}

bool SendResult::ok() const { return m_impl->ok; }
SendError SendResult::error() const { return m_impl->error; }
bool SendResult::unconfirmed() const { return m_impl->unconfirmed; }
const std::string& SendResult::reason() const { return m_impl->reason; }
const std::vector<RecipientResult>& SendResult::recipients() const { return m_impl->recipients; }
const std::vector<std::string>& SendResult::accepted() const { return m_impl->accepted; }
const std::vector<std::string>& SendResult::refused() const { return m_impl->refused; }
int SendResult::smtpStatus() const { return m_impl->smtpStatus; }
const std::string& SendResult::smtpReply() const { return m_impl->smtpReply; }
const std::string& SendResult::log() const {
    if (!m_impl->lazyLog) return m_impl->log;
    Impl::LazyLog& lazy = *m_impl->lazyLog;
    std::call_once(lazy.once, [&lazy] {
        StringBuffer sb;
        lazy.tree.renderText(sb);
        lazy.text = lazy.before;
        lazy.text.append(sb.getString(), sb.getSize());
        lazy.tree.clear();
    });
    return lazy.text;
}

}  // namespace ostmail
