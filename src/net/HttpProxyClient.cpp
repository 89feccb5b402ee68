#include "net/HttpProxyClient.h"

#include "core/StringBuffer.h"

namespace ostmail {

bool HttpProxyClient::isSet() {
    StringBuffer host(m_hostname.getUtf8());
    host.trimWhitespace();
    return !host.isEmpty();
}

}  // namespace ostmail
