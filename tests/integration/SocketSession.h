#pragma once
// SMTP lines written by hand over Socket2, directly or through a SOCKS
// proxy, so that only the channel under test is our own code.
#include "core/Logger.h"
#include "net/ClsSocksClient.h"
#include "net/Socket2.h"
#include "support/TestEnv.h"

#include <string>

namespace ostmail::itest {

struct SocketSession {
    Socket2 sock;
    Logger log;
    bool aborted = false;
    uint32_t reason = 99;

    SChannelWin32& channel() { return *sock.tlsChannel().impl(); }
    std::string logText() {
        StringBuffer sb;
        log.GetText(sb);
        return sb.toStdString();
    }
    bool logHas(const std::string& what) { return logText().find(what) != std::string::npos; }
    bool connect(const std::string& host, int port, bool tls, ClsSocksClient* proxy = nullptr) {
        return sock.Connect(host.c_str(), port, tls, 0, 5000, proxy, aborted, reason, log, nullptr);
    }
    // Every line of one reply, up to the line whose fourth byte is a space.
    std::string reply() {
        std::string all;
        for (;;) {
            StringBuffer line;
            SocketFlags flags;
            if (!sock.ReceiveUntilMatch("\r\n", line, 0, 5000, flags, log, nullptr)) return all + "<failed>";
            all += line.toStdString();
            if (line.getSize() < 4 || line.getString()[3] == ' ') return all;
        }
    }
    std::string command(const std::string& line) {
        StringBuffer sb(line.c_str());
        sb.append("\r\n");
        return sock.SendString(sb, 0, 0, 5000, log, nullptr) ? reply() : "<send failed>";
    }
};

inline ClsSocksClient socksProxy(int version, int port) {
    ClsSocksClient p;
    p.setSocksVersion(version);
    p.setPort(port);
    p.hostname().setFromUtf8("127.0.0.1");
    return p;
}

}  // namespace ostmail::itest
