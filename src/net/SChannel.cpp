#include "net/SChannel.h"

#include <new>

namespace ostmail {

SChannel::SChannel() : m_impl(new (std::nothrow) SChannelWin32) {}

SChannel::~SChannel() = default;

bool SChannel::EstablishChannel(const char* hostname, uint32_t port, uint32_t heartbeatMs, uint32_t connectTimeoutMs,
                                uint32_t idleTimeoutMs, LogBase& log, ProgressMonitor* pm) {
    if (!m_impl) return false;
    m_impl->setHostname(hostname);
    m_impl->setPort(port);
    return m_impl->EstablishChannel(heartbeatMs, connectTimeoutMs, idleTimeoutMs, log, pm);
}

bool SChannel::EstablishChannel2(const char* hostname, VelmoraSocket& sock, uint32_t heartbeatMs,
                                 uint32_t idleTimeoutMs, LogBase& log, ProgressMonitor* pm) {
    if (!m_impl) return false;
    m_impl->setHostname(hostname);
    return m_impl->EstablishChannel2(sock, heartbeatMs, idleTimeoutMs, log, pm);
}

bool SChannel::SendSecure(const unsigned char* data, uint32_t n, uint32_t heartbeatMs, uint32_t idleTimeoutMs,
                          LogBase& log, ProgressMonitor* pm) {
    return m_impl && m_impl->SendSecure(data, n, heartbeatMs, idleTimeoutMs, log, pm);
}

bool SChannel::RecvSecure(DataBuffer& out, uint32_t heartbeatMs, uint32_t idleTimeoutMs, SocketFlags& flags,
                          bool& endOfSession, LogBase& log, ProgressMonitor* pm) {
    endOfSession = false;
    return m_impl && m_impl->RecvSecure(out, heartbeatMs, idleTimeoutMs, flags, endOfSession, log, pm);
}

bool SChannel::ShutdownChannel(LogBase& log) { return m_impl && m_impl->ShutdownChannel(log); }

std::shared_ptr<platform::TlsCertificate> SChannel::serverCertificate() const {
    return m_impl ? m_impl->serverCertificate() : nullptr;
}

void SChannel::handBackSocket(VelmoraSocket& sock) {
    if (m_impl) m_impl->handBackSocket(sock);
}

}  // namespace ostmail
