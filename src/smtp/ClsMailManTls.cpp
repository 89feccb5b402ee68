#include "net/SChannelWin32.h"
#include "net/Socket2.h"
#include "smtp/ClsMailMan.h"
#include "smtp/SmtpSecurity.h"

namespace ostmail {

// Set every time, so that a cleared setting also reaches a channel that
// an earlier send configured.
void ClsMailMan::handTlsSettingsToChannel() {
    SChannelWin32* ch = m_smtp.connection().tlsChannel().impl();
    if (!ch) return;
    ch->setRequireVerifiedCert(m_requireSslCertVerify);
    ch->setTrustFile(m_sslTrustFile.getString());
    ch->setTrustFolder(m_sslTrustFolder.getString());
    ch->setProtocol(m_sslProtocol.getString());
    ch->setCipher(m_sslCipher.getString());
    ch->setMinimumTls12(m_requireTls12 && SChannelWin32::protocolMaskFromName(m_sslProtocol.getString()) == 0);
    ch->setPinnedKey(m_pinnedKey);
}

bool ClsMailMan::put_SslPinSha256(XString& v) {
    std::vector<unsigned char> key;
    if (!v.isEmpty() && !SmtpSecurity::decodePin(v.getUtf8(), key)) return false;
    m_pinnedKey = key;
    return true;
}

}  // namespace ostmail
