#pragma once
#include "core/XString.h"

#include <cstdint>

namespace ostmail {

// The SOCKS proxy settings a connect follows. Version 0 means no proxy;
// the setter accepts only 4 and 5 and turns anything else into 0.
class ClsSocksClient {
public:
    int32_t port() const { return m_port; }
    void setPort(int32_t port) { m_port = port; }
    int32_t socksVersion() const { return m_socksVersion; }
    void setSocksVersion(int32_t v) { m_socksVersion = (v == 4 || v == 5) ? v : 0; }

    XString& hostname() { return m_hostname; }
    XString& password() { return m_password; }
    XString& username() { return m_username; }

private:
    int32_t m_port = 1080;
    int32_t m_socksVersion = 0;
    XString m_hostname;
    XString m_password;
    XString m_username;
};

}  // namespace ostmail
