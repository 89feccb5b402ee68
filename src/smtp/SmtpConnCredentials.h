#pragma once
#include "core/StringBuffer.h"
#include "core/XString.h"
#include "smtp/SmtpConnImpl.h"

namespace ostmail {

// The login of one connect: what the caller asked for (trimmed), kept for
// the connection identity, and what the login steps work with.
struct SmtpConnImpl::Credentials {
    XString login;
    XString password;
    XString domain;
    StringBuffer method;  // forced mechanism, upper case once chosen
    XString askedLogin;
    XString askedPassword;

    bool present() { return !login.isEmpty() && !password.isEmpty(); }
};

}  // namespace ostmail
