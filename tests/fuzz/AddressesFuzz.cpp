// Addresses as they come in header fields and from hosts: one mailbox or a
// list, with names, quotes, comments, routes, groups and X.400 forms. No
// form written out holds a bare CR or LF, and a plain address written in
// header form reads back the same.
#include "FuzzInput.h"
#include "email/Rfc822Address.h"

#include <algorithm>
#include <memory>

using namespace ostmail;

namespace {

[[noreturn]] void fail(const char* why, const StringBuffer& a, const StringBuffer& b) {
    fprintf(stderr, "%s:\n[%s]\n[%s]\n", why, a.getString(), b.getString());
    abort();
}

// A CR or LF that is not part of a fold (CRLF and a blank) would end the
// header line and start a field of the sender's making.
bool bareLineEnd(const StringBuffer& s) {
    const char* p = s.getString();
    for (uint32_t i = 0, n = s.getSize(); i < n; ++i)
        if ((p[i] == '\r' && !(i + 2 < n && p[i + 1] == '\n' && (p[i + 2] == ' ' || p[i + 2] == '\t'))) ||
            (p[i] == '\n' && (i == 0 || p[i - 1] != '\r')))
            return true;
    return false;
}

// A bare address of atoms: the one kind whose header form has a single reading.
bool plainAddress(const StringBuffer& s) {
    const std::string a = s.getString();
    return a.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.!#$%&'*+-/=?^_`{|}~@") ==
               std::string::npos &&
           std::count(a.begin(), a.end(), '@') == 1 && a.front() != '@' && a.back() != '@';
}

void checkForms(const Rfc822Address& a) {
    StringBuffer header, display;
    a.toHeaderForm(header);
    a.toDisplayForm(display);
    std::unique_ptr<StringBuffer> plain(a.toPlainForm());
    for (const StringBuffer* form : {&header, &display, plain.get()})
        if (form && bareLineEnd(*form)) fail("a bare CR or LF written out", a.fullText(), *form);
    Rfc822Address again;
    // A name that reads as a placeholder ("undisclosed recipients") drops
    // the mailbox by rule; any other reading must find the same address.
    if (a.isValid() && plainAddress(a.address()) && again.parse(header.getString()) &&
        !again.address().equals(a.address()))
        fail("the address changed on the way back", header, again.address());
}

}  // namespace

void fuzzTarget(fuzz::FuzzInput& in) {
    uint8_t how = in.byte();
    std::string text = in.rest();
    if (how & 1) {
        ExtPtrArray list;
        Rfc822Address::parseAddressList(text.c_str(), list, how & 2);
        for (int32_t i = 0; i < list.getSize(); ++i) checkForms(*list.at<Rfc822Address>(i));
        StringBuffer out;
        Rfc822Address::formatList(list, how & 4, out);
        list.removeAllObjects();
    } else {
        std::unique_ptr<Rfc822Address> a(Rfc822Address::createByParsing(text.c_str()));
        if (a) checkForms(*a);
        Rfc822Address set(how & 2 ? text.c_str() : nullptr, text.c_str() + text.size() / 2);
        checkForms(set);
    }
}
