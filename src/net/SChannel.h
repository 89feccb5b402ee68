#pragma once
#include "net/SChannelWin32.h"

#include <memory>

namespace ostmail {

// The TLS channel handle that Socket2 embeds. It owns one SChannelWin32 and
// forwards to it; without one every operation fails (false, 0 or none).
class SChannel {
public:
    SChannel();
    ~SChannel();
    SChannel(const SChannel&) = delete;
    SChannel& operator=(const SChannel&) = delete;

    // The channel itself, for its settings; null when it could not be made.
    SChannelWin32* impl() { return m_impl.get(); }
    const SChannelWin32* impl() const { return m_impl.get(); }

    bool EstablishChannel(const char* hostname, uint32_t port, uint32_t heartbeatMs, uint32_t connectTimeoutMs,
                          uint32_t idleTimeoutMs, LogBase& log, ProgressMonitor* pm);
    bool EstablishChannel2(const char* hostname, VelmoraSocket& sock, uint32_t heartbeatMs, uint32_t idleTimeoutMs,
                           LogBase& log, ProgressMonitor* pm);
    bool SendSecure(const unsigned char* data, uint32_t n, uint32_t heartbeatMs, uint32_t idleTimeoutMs, LogBase& log,
                    ProgressMonitor* pm);
    bool RecvSecure(DataBuffer& out, uint32_t heartbeatMs, uint32_t idleTimeoutMs, SocketFlags& flags,
                    bool& endOfSession, LogBase& log, ProgressMonitor* pm);
    bool ShutdownChannel(LogBase& log);
    bool isConnected() const { return m_impl && m_impl->isConnected(); }
    uint32_t lastStatus() const { return m_impl ? m_impl->lastStatus() : 0; }
    std::shared_ptr<platform::TlsCertificate> serverCertificate() const;
    void handBackSocket(VelmoraSocket& sock);

private:
    std::unique_ptr<SChannelWin32> m_impl;
};

}  // namespace ostmail
