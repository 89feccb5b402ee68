#pragma once
// A scripted SMTP peer for tests: listens on 127.0.0.1 (a free port), plays
// a fixed script on a worker thread and records everything it receives.
// It covers what a real server will not do on demand: replies split over
// several writes, two replies in one write, silence, closing mid-line,
// refusing at any step, and several connections in a row.
//
//   ScriptedSmtpServer srv;
//   srv.reply("220 hello").expect("EHLO").reply("250 ok")
//      .expect("QUIT").reply("221 bye");
//   srv.start();
//   ... connect a client to 127.0.0.1:srv.port() ...
//   EXPECT_TRUE(srv.waitDone());
//   EXPECT_EQ(srv.lines()[0], "EHLO me");
//
// The script runs against the first connection; acceptNext() closes it and
// waits for the next one. When the script ends the connection is closed.
// A step that cannot run (peer gone, time-out) is recorded in errors() and
// the rest of that connection's steps are skipped. The destructor stops the
// thread promptly even when a step is still waiting.

#include "support/TestSockets.h"

#include <strings.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace ostmail {
namespace testsupport {

// The wanted pieces the text lacks, with the text after them; "" when none.
inline std::string lacks(const std::string& text, const std::vector<std::string>& wanted) {
    std::string out;
    for (const auto& w : wanted)
        if (text.find(w) == std::string::npos) out += "missing: " + w + "\n";
    return out.empty() ? out : out + "in:\n" + text;
}

class ScriptedSmtpServer {
public:
    ScriptedSmtpServer() : listenFd_(sock::listenLoopback(port_)) {
        if (listenFd_ < 0) recordError("listen: " + sock::lastErrorText());
    }
    ~ScriptedSmtpServer() {
        // Under the lock, so that a step sleeping on cv_ cannot miss it.
        std::unique_lock<std::mutex> lock(mu_);
        stop_ = true;
        lock.unlock();
        cv_.notify_all();
        if (thread_.joinable()) thread_.join();
        if (listenFd_ >= 0) sock::closeFd(listenFd_);
    }
    ScriptedSmtpServer(const ScriptedSmtpServer&) = delete;
    ScriptedSmtpServer& operator=(const ScriptedSmtpServer&) = delete;

    // --- the script (build it before start()) ---
    // Writes these bytes exactly, in one write.
    ScriptedSmtpServer& send(const std::string& bytes) { return sendSplit({bytes}); }
    // Writes one line; CRLF is appended.
    ScriptedSmtpServer& reply(const std::string& line) { return send(line + "\r\n"); }
    // Writes each piece in its own write, pausing pauseMs between them.
    ScriptedSmtpServer& sendSplit(const std::vector<std::string>& pieces, int pauseMs = 100) {
        return add([this, pieces, pauseMs] {
            for (size_t i = 0; i < pieces.size(); ++i)
                if ((i > 0 && !sleepInterruptible(pauseMs)) || !writeAll(pieces[i])) return false;
            return true;
        });
    }
    // Reads one line (up to LF) and records it without its CRLF. A non-empty
    // prefix must match the start of the line (case-insensitive) or an error
    // is recorded; the script goes on either way.
    ScriptedSmtpServer& expect(const std::string& prefix = "") {
        return add([this, prefix] { return expectLine(prefix); });
    }
    // expect(prefix) then reply(line).
    ScriptedSmtpServer& expectReply(const std::string& prefix, const std::string& line) {
        return expect(prefix).reply(line);
    }
    // Reads message data up to and including the lone "." line; records the
    // bytes before that line (still dot-stuffed, final CRLF included).
    ScriptedSmtpServer& readData() { return add([this] { return receiveData(); }); }
    // Neither reads nor writes for ms milliseconds.
    ScriptedSmtpServer& silence(int ms) { return add([this, ms] { return sleepInterruptible(ms); }); }
    // Closes the connection (FIN).
    ScriptedSmtpServer& closeNow() { return add([this] { return closeConnection(); }); }
    // Closes the current connection if open, then waits for the next one.
    ScriptedSmtpServer& acceptNext() { return add([this] { return acceptConnection(); }, true); }
    // Answers the rest of the session like a plain server (EHLO, MAIL, RCPT,
    // DATA, RSET, NOOP -> success; QUIT -> 221 and close) until QUIT or the
    // peer closes.
    ScriptedSmtpServer& serveRest() { return add([this] { return serveSession(); }); }

    // Starts the worker thread; the first step waits for a connection.
    void start() {
        if (!std::exchange(started_, true)) thread_ = std::thread([this] { run(); });
    }
    // Waits until the script has finished; false on time-out.
    bool waitDone(int timeoutMs = 10000) {
        std::unique_lock<std::mutex> lock(mu_);
        return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return done_; });
    }

    uint16_t port() const { return port_; }
    // Lines received, in order, over all connections or on one (0-based).
    std::vector<std::string> lines(int connection = -1) const {
        std::lock_guard<std::mutex> lock(mu_);
        if (connection >= 0) return lines_.at(connection);
        std::vector<std::string> out;
        for (const std::vector<std::string>& one : lines_) out.insert(out.end(), one.begin(), one.end());
        return out;
    }
    // Each readData() block, in order.
    std::vector<std::string> dataBlocks() const { return locked(data_); }
    // Deviations from the script: wrong prefixes, time-outs, a closed peer.
    std::vector<std::string> errors() const { return locked(errors_); }
    // Connections accepted so far.
    int connections() const { return static_cast<int>(locked(lines_).size()); }
    // "C: ..." and "S: ..." lines, for assertion messages.
    std::string transcript() const { return locked(transcript_); }

    // Fault injection by count: once n bytes have arrived on a connection the
    // rest is dropped and the connection closed (n < 0: never).
    void dropAfterReceived(long n) { dropAfter_ = n; }
    // serveRest() offers AUTH PLAIN and accepts any credentials.
    void offerAuth(bool on) { offerAuth_ = on; }
    // Messages serveRest() answered with 250 after their data.
    int accepted() const { return accepted_; }

private:
    // A step returns whether its connection is still usable; after a failed
    // one only steps that make a new connection run.
    ScriptedSmtpServer& add(std::function<bool()> step, bool newConnection = false) {
        if (started_) recordError("script step added after start()");
        else steps_.emplace_back(newConnection, std::move(step));
        return *this;
    }
    // A copy of state the worker thread writes.
    template <class T>
    T locked(const T& value) const {
        std::lock_guard<std::mutex> lock(mu_);
        return value;
    }
    void run() {
        bool live = acceptConnection();
        for (const auto& [newConnection, step] : steps_)
            if (!stop_ && (live || newConnection)) live = step();
        closeConnection();
        std::lock_guard<std::mutex> lock(mu_);
        done_ = true;
        cv_.notify_all();
    }
    bool expectLine(const std::string& prefix) {
        std::string line;
        if (!readLine(line)) return false;
        // strncasecmp stops at the end of a shorter line.
        if (strncasecmp(line.c_str(), prefix.c_str(), prefix.size()) != 0)
            recordError("expected \"" + prefix + "...\", got \"" + line + "\"");
        return true;
    }
    // False on stop, or on a time-out, recorded as "WHAT within N ms". Polls
    // in 20 ms slices, so that the destructor is noticed soon.
    bool waitReadable(int fd, const std::string& what) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kReadTimeoutMs);
        while (!stop_) {
            if (sock::pollIn(fd, 20) > 0) return true;
            if (std::chrono::steady_clock::now() > deadline)
                return recordError(what + " within " + std::to_string(kReadTimeoutMs) + " ms");
        }
        return false;
    }
    // Closes the current connection, if any, and waits for the next one.
    bool acceptConnection() {
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
    bool closeConnection() {
        if (connFd_ >= 0) {
            sock::closeFd(std::exchange(connFd_, -1));
            note("S: <close>");
        }
        return false;
    }
    bool writeAll(const std::string& bytes) {
        note("S: " + bytes);
        for (size_t off = 0; off < bytes.size();) {
            const long n = ::send(connFd_, bytes.data() + off, bytes.size() - off, sock::kSendFlags);
            if (n > 0) off += static_cast<size_t>(n);
            else if (n == 0 || !sock::interrupted()) return recordError("write failed: " + sock::lastErrorText());
        }
        return true;
    }
    // Appends what the peer sent within the read time-out; false on close,
    // error, time-out or stop.
    bool fill(bool closeIsError) {
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
    bool readLine(std::string& line, bool closeIsError = true) {
        size_t eol;
        while ((eol = inbuf_.find('\n')) == std::string::npos) {
            if (!fill(closeIsError)) {
                if (!inbuf_.empty()) note("C: (partial) " + inbuf_);
                return false;
            }
        }
        line = inbuf_.substr(0, eol - (eol > 0 && inbuf_[eol - 1] == '\r'));
        inbuf_.erase(0, eol + 1);
        note("C: " + line, &lines_.back(), line);
        return true;
    }
    bool receiveData() {
        // The CRLF in front lets a lone "." as the very first line end the data too.
        size_t end;
        while ((end = ("\r\n" + inbuf_).find("\r\n.\r\n")) == std::string::npos)
            if (!fill(true)) return false;
        const std::string block = inbuf_.substr(0, end);
        inbuf_.erase(0, end + 3);
        note("C: <data, " + std::to_string(block.size()) + " bytes>", &data_, block);
        return true;
    }
    bool sleepInterruptible(int ms) {
        std::unique_lock<std::mutex> lock(mu_);
        return !cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stop_.load(); });
    }
    // Answers like a plain server; a peer that just hangs up ends the session
    // and is no error here.
    bool serveSession() {
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
                const char* reply = is("HELO") ? "250 scripted\r\n" : "502 command not implemented\r\n";
                ok = writeAll(plain ? "250 OK\r\n" : reply);
            }
            if (!ok) return false;
        }
        return false;
    }
    // One transcript line, and item added to list when one is given.
    void note(const std::string& line, std::vector<std::string>* list = nullptr, const std::string& item = "") {
        std::lock_guard<std::mutex> lock(mu_);
        transcript_ += line + "\n";
        if (list) list->push_back(item);
    }
    bool recordError(const std::string& what) {
        note("!! " + what, &errors_, what);
        return false;
    }

    // How long a read or an accept may wait before it counts as an error.
    static constexpr int kReadTimeoutMs = 10000;
    uint16_t port_ = 0;  // before listenFd_, which sets it
    int listenFd_ = -1, connFd_ = -1;
    long dropAfter_ = -1, received_ = 0;
    bool offerAuth_ = false, started_ = false, done_ = false;
    std::string inbuf_;
    std::vector<std::pair<bool, std::function<bool()>>> steps_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int> accepted_{0};

    mutable std::mutex mu_;
    std::condition_variable cv_;
    std::vector<std::vector<std::string>> lines_;  // per connection
    std::vector<std::string> data_, errors_;
    std::string transcript_;
};

}  // namespace testsupport
}  // namespace ostmail
