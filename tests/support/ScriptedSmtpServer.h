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
    ScriptedSmtpServer();
    ~ScriptedSmtpServer();
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
    std::vector<std::string> lines(int connection = -1) const;
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

    // How long a read or an accept may wait before it counts as an error.
    void setReadTimeoutMs(int ms) { readTimeoutMs_ = ms; }

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
    void run();
    bool expectLine(const std::string& prefix);
    bool waitReadable(int fd, const std::string& what);
    bool acceptConnection();
    bool closeConnection();
    bool writeAll(const std::string& bytes);
    bool readLine(std::string& line, bool closeIsError = true);
    bool receiveData();
    bool fill(bool closeIsError);
    bool sleepInterruptible(int ms) {
        std::unique_lock<std::mutex> lock(mu_);
        return !cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stop_.load(); });
    }
    bool serveSession();
    void note(const std::string& line, std::vector<std::string>* list = nullptr, const std::string& item = "");
    bool recordError(const std::string& what) {
        note("!! " + what, &errors_, what);
        return false;
    }

    uint16_t port_ = 0;  // before listenFd_, which sets it
    int listenFd_ = -1, connFd_ = -1, readTimeoutMs_ = 10000;
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
