#pragma once
#include "core/XString.h"

#include <cstdint>

namespace ostmail {

// The HTTP proxy a connect tunnels through with CONNECT. An empty host
// name means no proxy; a user name adds a Basic login to the request.
class HttpProxyClient {
public:
    // A host name is given (the port is checked when connecting).
    bool isSet();
    int32_t port() const { return m_port; }
    void setPort(int32_t port) { m_port = port; }

    XString& hostname() { return m_hostname; }
    XString& username() { return m_username; }
    XString& password() { return m_password; }

private:
    int32_t m_port = 80;
    XString m_hostname;
    XString m_username;
    XString m_password;
};

}  // namespace ostmail
