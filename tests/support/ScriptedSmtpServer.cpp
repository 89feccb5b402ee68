#include "support/ScriptedSmtpServer.h"

#include "support/TestSockets.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <strings.h>

namespace ostmail {
namespace testsupport {

namespace {

// Poll slice: how quickly a waiting step notices the destructor.
constexpr int kSliceMs = 20;

std::string visible(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '\r') out += "\\r";
        else if (c == '\n') out += "\\n";
        else out += c;
    }
    return out;
}

bool startsWithNoCase(const std::string& s, const std::string& prefix) {
    return s.size() >= prefix.size() && strncasecmp(s.data(), prefix.data(), prefix.size()) == 0;
}

}  // namespace

ScriptedSmtpServer::ScriptedSmtpServer() {
    uint16_t port = 0;
    listenFd_ = sock::listenLoopback(port);
    if (listenFd_ < 0) {
        recordError("listen: " + sock::lastErrorText());
        return;
    }
    port_ = port;
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

ScriptedSmtpServer& ScriptedSmtpServer::send(const std::string& bytes) {
    return add({Kind::Send, bytes, {}, 0});
}

ScriptedSmtpServer& ScriptedSmtpServer::reply(const std::string& line) {
    return send(line + "\r\n");
}

ScriptedSmtpServer& ScriptedSmtpServer::sendSplit(const std::vector<std::string>& pieces, int pauseMs) {
    return add({Kind::SendSplit, "", pieces, pauseMs});
}

ScriptedSmtpServer& ScriptedSmtpServer::expect(const std::string& prefix) {
    return add({Kind::Expect, prefix, {}, 0});
}

ScriptedSmtpServer& ScriptedSmtpServer::expectReply(const std::string& prefix, const std::string& line) {
    return expect(prefix).reply(line);
}

ScriptedSmtpServer& ScriptedSmtpServer::readData() { return add({Kind::ReadData, "", {}, 0}); }

ScriptedSmtpServer& ScriptedSmtpServer::silence(int ms) { return add({Kind::Silence, "", {}, ms}); }

ScriptedSmtpServer& ScriptedSmtpServer::closeNow(bool reset) {
    return add({reset ? Kind::Reset : Kind::Close, "", {}, 0});
}

ScriptedSmtpServer& ScriptedSmtpServer::acceptNext() { return add({Kind::AcceptNext, "", {}, 0}); }

ScriptedSmtpServer& ScriptedSmtpServer::serveRest() { return add({Kind::ServeRest, "", {}, 0}); }

void ScriptedSmtpServer::start() {
    if (started_) return;
    started_ = true;
    if (listenFd_ < 0) {
        std::lock_guard<std::mutex> lock(mu_);
        done_ = true;
        return;
    }
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
        return writeAll(step.text);
    case Kind::SendSplit:
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
    case Kind::ReadData: {
        std::string block;
        return readData(block);
    }
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

bool ScriptedSmtpServer::acceptConnection() {
    inbuf_.clear();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(readTimeoutMs_);
    while (!stop_) {
        int r = sock::pollIn(listenFd_, kSliceMs);
        if (r > 0) {
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
            transcript_.push_back("-- connection " + std::to_string(connections_));
            return true;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            recordError("no connection within " + std::to_string(readTimeoutMs_) + " ms");
            return false;
        }
    }
    return false;
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
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(readTimeoutMs_);
    while (!stop_ && connFd_ >= 0) {
        int r = sock::pollIn(connFd_, kSliceMs);
        if (r > 0) {
            char buf[16384];
            long n = sock::recvSome(connFd_, buf, sizeof buf);
            if (n < 0 && sock::interrupted()) continue;
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
        if (std::chrono::steady_clock::now() > deadline) {
            recordError("nothing received within " + std::to_string(readTimeoutMs_) + " ms");
            return false;
        }
    }
    return false;
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

bool ScriptedSmtpServer::readData(std::string& block) {
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

int ScriptedSmtpServer::accepted() const {
    std::lock_guard<std::mutex> lock(mu_);
    return accepted_;
}

bool ScriptedSmtpServer::serveSession() {
    for (;;) {
        std::string line;
        // A peer that just hangs up ends the session; that is no error here.
        if (!readLine(line, false)) return false;
        bool ok = true;
        if (startsWithNoCase(line, "EHLO"))
            ok = writeAll(std::string("250-scripted\r\n") + (offerAuth_ ? "250-AUTH PLAIN\r\n" : "") +
                          "250-8BITMIME\r\n250 PIPELINING\r\n");
        else if (offerAuth_ && startsWithNoCase(line, "AUTH")) ok = serveAuth(line);
        else if (startsWithNoCase(line, "HELO")) ok = writeAll("250 scripted\r\n");
        else if (startsWithNoCase(line, "DATA")) {
            std::string block;
            ok = writeAll("354 go ahead\r\n") && readData(block) && writeAll("250 OK queued\r\n");
            if (ok) {
                std::lock_guard<std::mutex> lock(mu_);
                ++accepted_;
            }
        } else if (startsWithNoCase(line, "QUIT")) {
            writeAll("221 bye\r\n");
            closeConnection(false);
            return false;
        } else if (startsWithNoCase(line, "MAIL") || startsWithNoCase(line, "RCPT") ||
                   startsWithNoCase(line, "RSET") || startsWithNoCase(line, "NOOP"))
            ok = writeAll("250 OK\r\n");
        else ok = writeAll("502 command not implemented\r\n");
        if (!ok) return false;
    }
}

void ScriptedSmtpServer::recordLine(const std::string& line) {
    std::lock_guard<std::mutex> lock(mu_);
    lines_.push_back({connections_ - 1, line});
    transcript_.push_back("C: " + visible(line));
}

void ScriptedSmtpServer::recordError(const std::string& what) {
    std::lock_guard<std::mutex> lock(mu_);
    errors_.push_back(what);
    transcript_.push_back("!! " + what);
}

void ScriptedSmtpServer::note(const std::string& line) {
    std::lock_guard<std::mutex> lock(mu_);
    transcript_.push_back(line);
}

std::vector<std::string> ScriptedSmtpServer::lines() const {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<std::string> out;
    for (const Received& r : lines_) out.push_back(r.line);
    return out;
}

std::vector<std::string> ScriptedSmtpServer::lines(int connection) const {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<std::string> out;
    for (const Received& r : lines_)
        if (r.connection == connection) out.push_back(r.line);
    return out;
}

std::vector<std::string> ScriptedSmtpServer::dataBlocks() const {
    std::lock_guard<std::mutex> lock(mu_);
    return data_;
}

std::vector<std::string> ScriptedSmtpServer::errors() const {
    std::lock_guard<std::mutex> lock(mu_);
    return errors_;
}

int ScriptedSmtpServer::connections() const {
    std::lock_guard<std::mutex> lock(mu_);
    return connections_;
}

std::string ScriptedSmtpServer::transcript() const {
    std::lock_guard<std::mutex> lock(mu_);
    std::string out;
    for (const std::string& t : transcript_) out += t + "\n";
    return out;
}

}  // namespace testsupport
}  // namespace ostmail
