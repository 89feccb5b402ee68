#pragma once
#include "ostmail/Message.h"

#include <string>
#include <utility>
#include <vector>

namespace ostmail {

// Hidden, so that neither it nor the templates it instantiates are exported.
struct __attribute__((visibility("hidden"))) Message::Impl {
    struct Person {
        std::string address;
        std::string name;
    };
    struct Attachment {
        bool fromFile = false;
        std::string contentId;  // set: shown inside the HTML body
        std::string pathOrName;  // the file's path, or the name shown for data
        std::string data;
        std::string contentType;
    };
    Person from;
    std::vector<Person> to, cc, bcc;
    std::string replyTo;
    std::string subject;
    std::string text;
    std::string html;
    std::vector<Attachment> attachments;
    std::vector<std::pair<std::string, std::string>> headers;
};

}  // namespace ostmail
