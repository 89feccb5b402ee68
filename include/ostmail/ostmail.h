#pragma once
// The whole Linux-native API: #include <ostmail/ostmail.h>.
#include "ostmail/Mailbox.h"
#include "ostmail/Message.h"
#include "ostmail/SendResult.h"
#include "ostmail/Session.h"
#include "ostmail/SmtpSettings.h"
