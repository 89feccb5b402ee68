#include "support/ScriptedSmtpServer.h"

#include "support/TestSockets.h"

#include <chrono>
#include <strings.h>

namespace ostmail {
namespace testsupport {

namespace {

std::string visible(std::string s) {
    for (size_t i = 0; (i = s.find_first_of("\r\n", i)) != std::string::npos; i += 2)
        s.replace(i, 1, s[i] == '\r' ? "\\r" : "\\n");
    return s;
}

}  // namespace

ScriptedSmtpServer::ScriptedSmtpServer() : listenFd_(sock::listenLoopback(port_)) {
    if (listenFd_ < 0) recordError("listen: " + sock::lastErrorText());
}

ScriptedSmtpServer::~ScriptedSmtpServer() {
    // Under the lock, so that a step sleeping on cv_ cannot miss it.
    std::unique_lock<std::mutex> lock(mu_);
    stop_ = true;
    lock.unlock();
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
    closeConnection();
    if (listenFd_ >= 0) sock::closeFd(listenFd_);
}

void ScriptedSmtpServer::run() {
    bool live = acceptConnection();
    for (const auto& [newConnection, step] : steps_)
        if (!stop_ && (live || newConnection)) live = step();
    closeConnection();
    std::lock_guard<std::mutex> lock(mu_);
    done_ = true;
    cv_.notify_all();
}

bool ScriptedSmtpServer::expectLine(const std::string& prefix) {
    std::string line;
    if (!readLine(line)) return false;
    // strncasecmp stops at the end of a shorter line.
    if (strncasecmp(line.c_str(), prefix.c_str(), prefix.size()) != 0)
        recordError("expected \"" + prefix + "...\", got \"" + line + "\"");
    return true;
}

// False on stop, or on a time-out, recorded as "WHAT within N ms". Polls
// in 20 ms slices, so that the destructor is noticed soon.
bool ScriptedSmtpServer::waitReadable(int fd, const std::string& what) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(readTimeoutMs_);
    while (!stop_) {
        if (sock::pollIn(fd, 20) > 0) return true;
        if (std::chrono::steady_clock::now() > deadline)
            return recordError(what + " within " + std::to_string(readTimeoutMs_) + " ms");
    }
    return false;
}

// Closes the current connection, if any, and waits for the next one.
bool ScriptedSmtpServer::acceptConnection() {
    closeConnection();
    inbuf_.clear();
    received_ = 0;
    // Without a listener (already recorded) the script ends at once.
    if (listenFd_ < 0 || !waitReadable(listenFd_, "no connection")) return false;
    if ((connFd_ = sock::acceptFd(listenFd_)) < 0) return recordError("accept: " + sock::lastErrorText());
    const int one = 1;
    // Each scripted write must leave as its own segment.
    ::setsockopt(connFd_, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    std::lock_guard<std::mutex> lock(mu_);
    lines_.emplace_back();
    transcript_ += "-- connection " + std::to_string(lines_.size()) + "\n";
    return true;
}

// False, as nothing more runs on a closed connection.
bool ScriptedSmtpServer::closeConnection() {
    if (connFd_ >= 0) {
        sock::closeFd(std::exchange(connFd_, -1));
        note("S: <close>");
    }
    return false;
}

bool ScriptedSmtpServer::writeAll(const std::string& bytes) {
    note("S: " + visible(bytes));
    for (size_t off = 0; off < bytes.size();) {
        const long n = ::send(connFd_, bytes.data() + off, bytes.size() - off, sock::kSendFlags);
        if (n > 0) off += static_cast<size_t>(n);
        else if (n == 0 || !sock::interrupted()) return recordError("write failed: " + sock::lastErrorText());
    }
    return true;
}

// Appends what the peer sent within the read time-out; false on close,
// error, time-out or stop.
bool ScriptedSmtpServer::fill(bool closeIsError) {
    char buf[16384];
    long n;
    do {
        if (connFd_ < 0 || !waitReadable(connFd_, "nothing received")) return false;
        n = ::recv(connFd_, buf, sizeof buf, 0);
    } while (n < 0 && sock::interrupted());
    if (n < 0) return recordError("read failed: " + sock::lastErrorText());
    if (n == 0) return closeIsError ? recordError("peer closed the connection") : false;
    // Fault injection: past dropAfter_ bytes the rest is dropped and the connection closed.
    const bool drop = dropAfter_ >= 0 && received_ + n >= dropAfter_;
    const long keep = drop ? dropAfter_ - received_ : n;
    inbuf_.append(buf, static_cast<size_t>(keep));
    received_ += keep;
    if (!drop) return true;
    note("S: <drop after " + std::to_string(dropAfter_) + " bytes>");
    return closeConnection() || keep > 0;
}

bool ScriptedSmtpServer::readLine(std::string& line, bool closeIsError) {
    size_t eol;
    while ((eol = inbuf_.find('\n')) == std::string::npos) {
        if (!fill(closeIsError)) {
            if (!inbuf_.empty()) note("C: (partial) " + visible(inbuf_));
            return false;
        }
    }
    line = inbuf_.substr(0, eol - (eol > 0 && inbuf_[eol - 1] == '\r'));
    inbuf_.erase(0, eol + 1);
    note("C: " + visible(line), &lines_.back(), line);
    return true;
}

bool ScriptedSmtpServer::receiveData() {
    // The CRLF in front lets a lone "." as the very first line end the data too.
    size_t end;
    while ((end = ("\r\n" + inbuf_).find("\r\n.\r\n")) == std::string::npos)
        if (!fill(true)) return false;
    const std::string block = inbuf_.substr(0, end);
    inbuf_.erase(0, end + 3);
    note("C: <data, " + std::to_string(block.size()) + " bytes>", &data_, block);
    return true;
}

// Answers like a plain server; a peer that just hangs up ends the session
// and is no error here.
bool ScriptedSmtpServer::serveSession() {
    for (std::string line, response; readLine(line, false);) {
        const auto is = [&line](const char* verb) { return strncasecmp(line.c_str(), verb, 4) == 0; };
        bool ok;
        if (is("QUIT")) {
            writeAll("221 bye\r\n");
            return closeConnection();
        } else if (is("EHLO")) {
            ok = writeAll(std::string("250-scripted\r\n") + (offerAuth_ ? "250-AUTH PLAIN\r\n" : "") +
                          "250-8BITMIME\r\n250 PIPELINING\r\n");
        } else if (offerAuth_ && is("AUTH")) {
            // AUTH PLAIN with or without the initial response; any credentials pass.
            ok = (line.find(' ', 5) != std::string::npos || (writeAll("334 \r\n") && readLine(response, false))) &&
                 writeAll("235 2.7.0 accepted\r\n");
        } else if (is("DATA")) {
            ok = writeAll("354 go ahead\r\n") && receiveData() && writeAll("250 OK queued\r\n");
            accepted_ += ok;
        } else {
            const bool plain = is("MAIL") || is("RCPT") || is("RSET") || is("NOOP");
            ok = writeAll(plain ? "250 OK\r\n" : is("HELO") ? "250 scripted\r\n" : "502 command not implemented\r\n");
        }
        if (!ok) return false;
    }
    return false;
}

// One transcript line, and item added to list when one is given.
void ScriptedSmtpServer::note(const std::string& line, std::vector<std::string>* list, const std::string& item) {
    std::lock_guard<std::mutex> lock(mu_);
    transcript_ += line + "\n";
    if (list) list->push_back(item);
}

std::vector<std::string> ScriptedSmtpServer::lines(int connection) const {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<std::string> out;
    for (size_t i = 0; i < lines_.size(); ++i)
        if (connection < 0 || static_cast<size_t>(connection) == i)
            out.insert(out.end(), lines_[i].begin(), lines_[i].end());
    return out;
}

}  // namespace testsupport
}  // namespace ostmail
