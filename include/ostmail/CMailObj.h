#pragma once
// Ostmail: send one e-mail message over SMTP.
//
//   CMailObj mail;
//   mail.SetServer(L"smtp.example.com");
//   mail.SetPortNum(587);
//   mail.SetSenderAddr(L"reports@example.com");
//   mail.SetRecipAddr(L"a@example.com;b@example.com");
//   mail.SetSubject(L"Nightly report");
//   mail.SetBody(L"See the attached file.");
//   mail.SetAttachment(L"/var/reports/nightly.pdf");
//   mail.SetRetryVal(2);      // up to two more attempts
//   mail.SetTimeoutInt(30);   // seconds to wait after a failed attempt
//   int rc = mail.DoMail();   // 0 sent, -1 every attempt failed
//
// Lists (recipients, CC, attachments) are separated by ';'. Text is handed
// to the mail toolkit in the system's ANSI code page (the locale's charset).

#include <cstdint>
#include <list>
#include <string>

#include "ostmail/Export.h"

class OSTMAIL_EXPORT CMailObj {
public:
    CMailObj();
    ~CMailObj();

    std::wstring GetUserNameW();
    void SetUserName(std::wstring value);
    std::wstring GetPasswd();
    void SetPasswd(std::wstring value);
    std::wstring GetBody();
    void SetBody(std::wstring value);
    std::wstring GetBodyHTML();
    void SetBodyHTML(std::wstring value);
    std::wstring GetSender();
    void SetSender(std::wstring value);
    std::wstring GetSenderAddr();
    void SetSenderAddr(std::wstring value);
    std::wstring GetRecipAddr();
    void SetRecipAddr(std::wstring value);
    std::wstring GetRecipCC();
    void SetRecipCC(std::wstring value);
    std::wstring GetAttachment();
    void SetAttachment(std::wstring value);
    std::wstring GetBodyHTMLfile();
    void SetBodyHTMLfile(std::wstring value);
    std::wstring GetServer();
    void SetServer(std::wstring value);
    std::wstring GetSubject();
    void SetSubject(std::wstring value);
    // The authentication flag. kAuthXOAuth2 / kAuthOAuthBearer make the
    // password an OAuth 2.0 access token for that mechanism; any other value
    // leaves the login to what the server offers.
    static constexpr int32_t kAuthXOAuth2 = 2;
    static constexpr int32_t kAuthOAuthBearer = 3;
    int32_t GetAuthState();
    void SetAuthState(int32_t value);
    int32_t GetRetryVal();
    void SetRetryVal(int32_t value);
    int32_t GetTimeoutInt();
    void SetTimeoutInt(int32_t value);
    int32_t GetPort();
    void SetPortNum(int32_t value);
    void UseSSL(int32_t value);

    // Sends the message: 0 once a server accepted it, -1 when the first
    // attempt and every retry failed. Blocks for the sends and the waits.
    int DoMail();
    // The activity log of this thread's last DoMail: which properties the
    // ANSI code page could not hold, then the last attempt's log. Empty
    // before the first DoMail on the thread.
    static std::wstring LastLog();

protected:
    // Whole file as text in the ANSI code page, up to its first zero byte.
    // 1 on success; 0 (text unchanged) when the file cannot be read.
    int ReadFileToString(std::wstring path, std::wstring& text);
    // Rewrites references to the files of the inline image list into
    // "cid:" references.
    void AddId(std::wstring& html);

    std::list<std::wstring> m_inlineImages;

private:
    int sendWithRetries();

    std::wstring m_userName;
    std::wstring m_password;
    std::wstring m_body;
    std::wstring m_bodyHtml;
    std::wstring m_sender;
    std::wstring m_senderAddr;
    std::wstring m_recipAddr;
    std::wstring m_recipCc;
    std::wstring m_attachment;
    std::wstring m_bodyHtmlFile;
    std::wstring m_server;
    std::wstring m_subject;
    int32_t m_authState = 0;
    int32_t m_retryVal = 0;
    int32_t m_timeoutInt = 0;
    int32_t m_port = 25;
    int32_t m_useSsl = 0;
};
