#include "ostmail/CMailObj.h"

CMailObj::CMailObj() = default;
CMailObj::~CMailObj() = default;

std::wstring CMailObj::GetUserNameW() { return m_userName; }
void CMailObj::SetUserName(std::wstring value) { m_userName = std::move(value); }
std::wstring CMailObj::GetPasswd() { return m_password; }
void CMailObj::SetPasswd(std::wstring value) { m_password = std::move(value); }
std::wstring CMailObj::GetBody() { return m_body; }
void CMailObj::SetBody(std::wstring value) { m_body = std::move(value); }
std::wstring CMailObj::GetBodyHTML() { return m_bodyHtml; }
void CMailObj::SetBodyHTML(std::wstring value) { m_bodyHtml = std::move(value); }
std::wstring CMailObj::GetSender() { return m_sender; }
void CMailObj::SetSender(std::wstring value) { m_sender = std::move(value); }
std::wstring CMailObj::GetSenderAddr() { return m_senderAddr; }
void CMailObj::SetSenderAddr(std::wstring value) { m_senderAddr = std::move(value); }
std::wstring CMailObj::GetRecipAddr() { return m_recipAddr; }
void CMailObj::SetRecipAddr(std::wstring value) { m_recipAddr = std::move(value); }
std::wstring CMailObj::GetRecipCC() { return m_recipCc; }
void CMailObj::SetRecipCC(std::wstring value) { m_recipCc = std::move(value); }
std::wstring CMailObj::GetAttachment() { return m_attachment; }
void CMailObj::SetAttachment(std::wstring value) { m_attachment = std::move(value); }
std::wstring CMailObj::GetBodyHTMLfile() { return m_bodyHtmlFile; }
void CMailObj::SetBodyHTMLfile(std::wstring value) { m_bodyHtmlFile = std::move(value); }
std::wstring CMailObj::GetServer() { return m_server; }
void CMailObj::SetServer(std::wstring value) { m_server = std::move(value); }
std::wstring CMailObj::GetSubject() { return m_subject; }
void CMailObj::SetSubject(std::wstring value) { m_subject = std::move(value); }
int32_t CMailObj::GetAuthState() { return m_authState; }
void CMailObj::SetAuthState(int32_t value) { m_authState = value; }
int32_t CMailObj::GetRetryVal() { return m_retryVal; }
void CMailObj::SetRetryVal(int32_t value) { m_retryVal = value; }
int32_t CMailObj::GetTimeoutInt() { return m_timeoutInt; }
void CMailObj::SetTimeoutInt(int32_t value) { m_timeoutInt = value; }
int32_t CMailObj::GetPort() { return m_port; }
void CMailObj::SetPortNum(int32_t value) { m_port = value; }
void CMailObj::UseSSL(int32_t value) { m_useSsl = value; }
