#include "support/ScriptedSmtpServer.h"

#include "support/TestSockets.h"

#include <algorithm>
#include <chrono>
#include <strings.h>

namespace ostmail {
namespace testsupport {

namespace {

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

// What serveRest() answers to the commands that need no more than a reply.
std::string plainReply(const std::string& line) {
    for (const char* verb : {"MAIL", "RCPT", "RSET", "NOOP"})
        if (startsWithNoCase(line, verb)) return "250 OK\r\n";
    return startsWithNoCase(line, "HELO") ? "250 scripted\r\n" : "502 command not implemented\r\n";
}

}  // namespace

ScriptedSmtpServer::ScriptedSmtpServer() : listenFd_(sock::listenLoopback(port_)) {
    if (listenFd_ < 0) recordError("listen: " + sock::lastErrorText());
}

ScriptedSmtpServer::~ScriptedSmtpServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    closeConnection(false);
    if (listenFd_ >= 0) sock::closeFd(listenFd_);
}

ScriptedSmtpServer& ScriptedSmtpServer::add(Step step) {
    if (started_) recordError("script step added after start()");
    else steps_.push_back(std::move(step));
    return *this;
}

void ScriptedSmtpServer::start() {
    if (started_) return;
    started_ = true;
    thread_ = std::thread([this] { run(); });
}

bool ScriptedSmtpServer::waitDone(int timeoutMs) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return done_; });
}

void ScriptedSmtpServer::run() {
    bool live = acceptConnection();
    for (const Step& step : steps_) {
        if (stop_) break;
        if (step.kind == Kind::AcceptNext) {
            closeConnection(false);
            live = acceptConnection();
            continue;
        }
        // After a failed step the rest of this connection's script is moot.
        if (live) live = runStep(step);
    }
    closeConnection(false);
    std::lock_guard<std::mutex> lock(mu_);
    done_ = true;
    cv_.notify_all();
}

bool ScriptedSmtpServer::runStep(const Step& step) {
    switch (step.kind) {
    case Kind::Send:
        for (size_t i = 0; i < step.pieces.size(); ++i) {
            if (i > 0 && !sleepInterruptible(step.ms)) return false;
            if (!writeAll(step.pieces[i])) return false;
        }
        return true;
    case Kind::Expect: {
        std::string line;
        if (!readLine(line)) return false;
        if (!step.text.empty() && !startsWithNoCase(line, step.text))
            recordError("expected \"" + step.text + "...\", got \"" + line + "\"");
        return true;
    }
    case Kind::ReadData:
        return receiveData();
    case Kind::Silence:
        return sleepInterruptible(step.ms);
    case Kind::Close:
    case Kind::Reset:
        closeConnection(step.kind == Kind::Reset);
        return false;
    case Kind::ServeRest:
        return serveSession();
    case Kind::AcceptNext:
        break;
    }
    return false;
}

// False on stop, or on a time-out, recorded as "WHAT within N ms".
bool ScriptedSmtpServer::waitReadable(int fd, const std::string& what) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(readTimeoutMs_);
    while (!stop_) {
        if (sock::pollIn(fd, kSliceMs) > 0) return true;
        if (std::chrono::steady_clock::now() > deadline) {
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
    connFd_ = sock::acceptFd(listenFd_);
    if (connFd_ < 0) {
        recordError("accept: " + sock::lastErrorText());
        return false;
    }
    int one = 1;
    // Each scripted write must leave as its own segment.
    sock::setOpt(connFd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    received_ = 0;
    std::lock_guard<std::mutex> lock(mu_);
    ++connections_;
    transcript_ += "-- connection " + std::to_string(connections_) + "\n";
    return true;
}

void ScriptedSmtpServer::closeConnection(bool reset) {
    if (connFd_ < 0) return;
    if (reset) {
        linger lg{1, 0};
        sock::setOpt(connFd_, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    }
    sock::closeFd(connFd_);
    connFd_ = -1;
    note(reset ? "S: <reset>" : "S: <close>");
}

bool ScriptedSmtpServer::writeAll(const std::string& bytes) {
    note("S: " + visible(bytes));
    size_t off = 0;
    while (off < bytes.size()) {
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
    if (n == 0 && !closeIsError) return false;
    if (n <= 0) {
        recordError(n == 0 ? "peer closed the connection" : "read failed: " + sock::lastErrorText());
        return false;
    }
    if (dropAfter_ >= 0 && received_ + n >= dropAfter_) {
        const long keep = dropAfter_ - received_;
        inbuf_.append(buf, static_cast<size_t>(keep));
        received_ = dropAfter_;
        note("S: <drop after " + std::to_string(dropAfter_) + " bytes>");
        closeConnection(false);
        return keep > 0;
    }
    received_ += n;
    inbuf_.append(buf, static_cast<size_t>(n));
    return true;
}

bool ScriptedSmtpServer::readLine(std::string& line, bool closeIsError) {
    size_t eol;
    while ((eol = inbuf_.find('\n')) == std::string::npos) {
        if (!fill(closeIsError)) {
            if (!inbuf_.empty()) note("C: (partial) " + visible(inbuf_));
            return false;
        }
    }
    line = inbuf_.substr(0, eol);
    inbuf_.erase(0, eol + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    recordLine(line);
    return true;
}

bool ScriptedSmtpServer::receiveData() {
    std::string block;
    for (;;) {
        if (inbuf_.compare(0, 3, ".\r\n") == 0) {
            block.clear();
            inbuf_.erase(0, 3);
            break;
        }
        size_t end = inbuf_.find("\r\n.\r\n");
        if (end != std::string::npos) {
            block = inbuf_.substr(0, end + 2);
            inbuf_.erase(0, end + 5);
            break;
        }
        if (!fill()) return false;
    }
    note("C: <data, " + std::to_string(block.size()) + " bytes>");
    std::lock_guard<std::mutex> lock(mu_);
    data_.push_back(block);
    return true;
}

bool ScriptedSmtpServer::sleepInterruptible(int ms) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!stop_) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (left.count() <= 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min<long>(left.count(), kSliceMs)));
    }
    return false;
}

// AUTH PLAIN with or without the initial response; any credentials pass.
bool ScriptedSmtpServer::serveAuth(const std::string& line) {
    std::string response;
    if (line.find(' ', 5) == std::string::npos && (!writeAll("334 \r\n") || !readLine(response, false))) return false;
    return writeAll("235 2.7.0 accepted\r\n");
}

bool ScriptedSmtpServer::serveSession() {
    // A peer that just hangs up ends the session; that is no error here.
    for (std::string line; readLine(line, false);) {
        bool ok;
        if (startsWithNoCase(line, "EHLO")) {
            ok = writeAll(std::string("250-scripted\r\n") + (offerAuth_ ? "250-AUTH PLAIN\r\n" : "") +
                          "250-8BITMIME\r\n250 PIPELINING\r\n");
        } else if (offerAuth_ && startsWithNoCase(line, "AUTH")) {
            ok = serveAuth(line);
        } else if (startsWithNoCase(line, "DATA")) {
            ok = writeAll("354 go ahead\r\n") && receiveData() && writeAll("250 OK queued\r\n");
            if (ok) ++accepted_;
        } else if (startsWithNoCase(line, "QUIT")) {
            writeAll("221 bye\r\n");
            closeConnection(false);
            return false;
        } else {
            ok = writeAll(plainReply(line));
        }
        if (!ok) return false;
    }
    return false;
}

void ScriptedSmtpServer::recordLine(const std::string& line) {
    std::lock_guard<std::mutex> lock(mu_);
    lines_.push_back({connections_ - 1, line});
    transcript_ += "C: " + visible(line) + "\n";
}

void ScriptedSmtpServer::recordError(const std::string& what) {
    std::lock_guard<std::mutex> lock(mu_);
    errors_.push_back(what);
    transcript_ += "!! " + what + "\n";
}

void ScriptedSmtpServer::note(const std::string& line) {
    std::lock_guard<std::mutex> lock(mu_);
    transcript_ += line + "\n";
}

std::vector<std::string> ScriptedSmtpServer::lines(int connection) const {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<std::string> out;
    for (const Received& r : lines_)
        if (connection < 0 || r.connection == connection) out.push_back(r.line);
    return out;
}

}  // namespace testsupport
}  // namespace ostmail
