#include "support/ScriptedSmtpServer.h"

#include "support/TestSockets.h"

#include <algorithm>
#include <chrono>
#include <strings.h>

namespace ostmail {
namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;
// Poll slice: how quickly a waiting step notices the destructor.
constexpr int kSliceMs = 20;

std::string visible(std::string s) {
    for (size_t i = 0; (i = s.find_first_of("\r\n", i)) != std::string::npos; i += 2)
        s.replace(i, 1, s[i] == '\r' ? "\\r" : "\\n");
    return s;
}

bool startsWithNoCase(const std::string& s, const std::string& prefix) {
    return s.size() >= prefix.size() && strncasecmp(s.data(), prefix.data(), prefix.size()) == 0;
}

}  // namespace

ScriptedSmtpServer::ScriptedSmtpServer() : listenFd_(sock::listenLoopback(port_)) {
    if (listenFd_ < 0) recordError("listen: " + sock::lastErrorText());
}

ScriptedSmtpServer::~ScriptedSmtpServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    closeConnection();
    if (listenFd_ >= 0) sock::closeFd(listenFd_);
}

ScriptedSmtpServer& ScriptedSmtpServer::add(Step step) {
    if (started_) recordError("script step added after start()");
    else steps_.push_back(std::move(step));
    return *this;
}

void ScriptedSmtpServer::start() {
    if (!std::exchange(started_, true)) thread_ = std::thread([this] { run(); });
}

bool ScriptedSmtpServer::waitDone(int timeoutMs) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, Ms(timeoutMs), [this] { return done_; });
}

void ScriptedSmtpServer::run() {
    bool live = acceptConnection();
    for (const Step& step : steps_) {
        if (stop_) break;
        if (step.kind == Kind::AcceptNext) {
            closeConnection();
            live = acceptConnection();
        } else if (live) {  // after a failed step the rest of this connection's script is moot
            live = runStep(step);
        }
    }
    closeConnection();
    std::lock_guard<std::mutex> lock(mu_);
    done_ = true;
    cv_.notify_all();
}

bool ScriptedSmtpServer::runStep(const Step& step) {
    std::string line;
    switch (step.kind) {
    case Kind::Send:
        for (size_t i = 0; i < step.pieces.size(); ++i)
            if ((i > 0 && !sleepInterruptible(step.ms)) || !writeAll(step.pieces[i])) return false;
        return true;
    case Kind::Expect:
        if (!readLine(line)) return false;
        if (!startsWithNoCase(line, step.text)) recordError("expected \"" + step.text + "...\", got \"" + line + "\"");
        return true;
    case Kind::ReadData: return receiveData();
    case Kind::Silence: return sleepInterruptible(step.ms);
    case Kind::ServeRest: return serveSession();
    default: closeConnection(); return false;
    }
}

// False on stop, or on a time-out, recorded as "WHAT within N ms".
bool ScriptedSmtpServer::waitReadable(int fd, const std::string& what) {
    for (auto deadline = Clock::now() + Ms(readTimeoutMs_); !stop_;) {
        if (sock::pollIn(fd, kSliceMs) > 0) return true;
        if (Clock::now() > deadline) {
            recordError(what + " within " + std::to_string(readTimeoutMs_) + " ms");
            return false;
        }
    }
    return false;
}

bool ScriptedSmtpServer::acceptConnection() {
    inbuf_.clear();
    // Without a listener (already recorded) the script ends at once.
    if (listenFd_ < 0 || !waitReadable(listenFd_, "no connection")) return false;
    if ((connFd_ = sock::acceptFd(listenFd_)) < 0) {
        recordError("accept: " + sock::lastErrorText());
        return false;
    }
    int one = 1;
    // Each scripted write must leave as its own segment.
    sock::setOpt(connFd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    received_ = 0;
    std::lock_guard<std::mutex> lock(mu_);
    transcript_ += "-- connection " + std::to_string(++connections_) + "\n";
    return true;
}

void ScriptedSmtpServer::closeConnection() {
    if (connFd_ < 0) return;
    sock::closeFd(std::exchange(connFd_, -1));
    note("S: <close>");
}

bool ScriptedSmtpServer::writeAll(const std::string& bytes) {
    note("S: " + visible(bytes));
    for (size_t off = 0; off < bytes.size();) {
        long n = sock::sendSome(connFd_, bytes.data() + off, bytes.size() - off);
        if (n < 0 && sock::interrupted()) continue;
        if (n <= 0) {
            recordError("write failed: " + sock::lastErrorText());
            return false;
        }
        off += static_cast<size_t>(n);
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
        n = sock::recvSome(connFd_, buf, sizeof buf);
    } while (n < 0 && sock::interrupted());
    if (n <= 0) {
        const std::string what = n == 0 ? "peer closed the connection" : "read failed: " + sock::lastErrorText();
        if (n < 0 || closeIsError) recordError(what);
        return false;
    }
    // Fault injection: past dropAfter_ bytes the rest is dropped and the connection closed.
    const bool drop = dropAfter_ >= 0 && received_ + n >= dropAfter_;
    const long keep = drop ? dropAfter_ - received_ : n;
    inbuf_.append(buf, static_cast<size_t>(keep));
    received_ += keep;
    if (!drop) return true;
    note("S: <drop after " + std::to_string(dropAfter_) + " bytes>");
    closeConnection();
    return keep > 0;
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
    std::lock_guard<std::mutex> lock(mu_);
    lines_.emplace_back(connections_ - 1, line);
    transcript_ += "C: " + visible(line) + "\n";
    return true;
}

bool ScriptedSmtpServer::receiveData() {
    // The CRLF in front lets a lone "." as the very first line end the data too.
    size_t end;
    while ((end = ("\r\n" + inbuf_).find("\r\n.\r\n")) == std::string::npos)
        if (!fill()) return false;
    const std::string block = inbuf_.substr(0, end);
    inbuf_.erase(0, end + 3);
    note("C: <data, " + std::to_string(block.size()) + " bytes>", &data_, block);
    return true;
}

bool ScriptedSmtpServer::sleepInterruptible(int ms) {
    for (auto until = Clock::now() + Ms(ms); !stop_;) {
        const auto left = until - Clock::now();
        if (left <= Clock::duration::zero()) return true;
        std::this_thread::sleep_for(std::min<Clock::duration>(left, Ms(kSliceMs)));
    }
    return false;
}

// Answers like a plain server; a peer that just hangs up ends the session
// and is no error here.
bool ScriptedSmtpServer::serveSession() {
    for (std::string line; readLine(line, false);) {
        bool ok;
        if (startsWithNoCase(line, "EHLO")) {
            ok = writeAll(std::string("250-scripted\r\n") + (offerAuth_ ? "250-AUTH PLAIN\r\n" : "") +
                          "250-8BITMIME\r\n250 PIPELINING\r\n");
        } else if (offerAuth_ && startsWithNoCase(line, "AUTH")) {
            // AUTH PLAIN with or without the initial response; any credentials pass.
            std::string response;
            ok = (line.find(' ', 5) != std::string::npos || (writeAll("334 \r\n") && readLine(response, false))) &&
                 writeAll("235 2.7.0 accepted\r\n");
        } else if (startsWithNoCase(line, "DATA")) {
            ok = writeAll("354 go ahead\r\n") && receiveData() && writeAll("250 OK queued\r\n");
            if (ok) ++accepted_;
        } else if (startsWithNoCase(line, "QUIT")) {
            writeAll("221 bye\r\n");
            closeConnection();
            return false;
        } else {
            bool plain = false;
            for (const char* verb : {"MAIL", "RCPT", "RSET", "NOOP"}) plain = plain || startsWithNoCase(line, verb);
            ok = writeAll(plain ? "250 OK\r\n"
                                : startsWithNoCase(line, "HELO") ? "250 scripted\r\n" : "502 command not implemented\r\n");
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
    for (const auto& [conn, line] : lines_)
        if (connection < 0 || conn == connection) out.push_back(line);
    return out;
}

}  // namespace testsupport
}  // namespace ostmail
