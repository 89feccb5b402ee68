#include "support/PythonRun.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

extern char** environ;

namespace ostmail {
namespace testsupport {

namespace {

const char* const kPython = "/usr/bin/python3";

struct Pipe {
    int fd[2] = {-1, -1};
    bool open() { return ::pipe2(fd, O_CLOEXEC) == 0; }
    void closeBoth() {
        for (int& f : fd)
            if (f >= 0) { ::close(f); f = -1; }
    }
};

// The environment for the child, built before fork: only async-signal-safe
// calls may follow fork in a threaded test program.
std::vector<std::string> childEnvironment() {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::strncmp(*e, "PYTHON", 6) != 0) env.emplace_back(*e);
    }
    env.emplace_back("PYTHONIOENCODING=utf-8:surrogateescape");
    env.emplace_back("PYTHONDONTWRITEBYTECODE=1");
    env.emplace_back("PYTHONNOUSERSITE=1");
    return env;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> p;
    for (std::string& s : strings) p.push_back(&s[0]);
    p.push_back(nullptr);
    return p;
}

// Feeds input and collects both outputs until the child closes them.
void pump(int in, int out, int err, const std::string& input, PythonResult& r, int timeoutMs) {
    size_t written = 0;
    if (input.empty()) { ::close(in); in = -1; }
    else ::fcntl(in, F_SETFL, O_NONBLOCK);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (out >= 0 || err >= 0) {
        pollfd p[3] = {{out, POLLIN, 0}, {err, POLLIN, 0}, {in, POLLOUT, 0}};
        if (::poll(p, 3, 100) < 0 && errno != EINTR) break;
        if (std::chrono::steady_clock::now() > deadline) { r.timedOut = true; break; }
        int* fds[2] = {&out, &err};
        std::string* bufs[2] = {&r.out, &r.err};
        for (int i = 0; i < 2; ++i) {
            if (*fds[i] < 0 || !(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buf[65536];
            ssize_t n = ::read(*fds[i], buf, sizeof buf);
            if (n > 0) bufs[i]->append(buf, static_cast<size_t>(n));
            else if (n == 0 || errno != EINTR) { ::close(*fds[i]); *fds[i] = -1; }
        }
        if (in >= 0 && (p[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
            ssize_t n = ::write(in, input.data() + written, input.size() - written);
            if (n > 0) written += static_cast<size_t>(n);
            if ((n < 0 && errno != EAGAIN && errno != EINTR) || written == input.size()) { ::close(in); in = -1; }
        }
    }
    for (int f : {in, out, err})
        if (f >= 0) ::close(f);
}

PythonResult run(std::vector<std::string> argv, const std::string& input, int timeoutMs) {
    PythonResult r;
    Pipe in, out, err;
    if (!in.open() || !out.open() || !err.open()) {
        r.err = std::string("pipe: ") + std::strerror(errno);
        in.closeBoth(); out.closeBoth(); err.closeBoth();
        return r;
    }
    std::vector<std::string> env = childEnvironment();
    std::vector<char*> argp = pointers(argv), envp = pointers(env);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(in.fd[0], 0);
        ::dup2(out.fd[1], 1);
        ::dup2(err.fd[1], 2);
        ::execve(kPython, argp.data(), envp.data());
        ::_exit(127);
    }
    ::close(in.fd[0]); ::close(out.fd[1]); ::close(err.fd[1]);
    if (pid < 0) {
        r.err = std::string("fork: ") + std::strerror(errno);
        ::close(in.fd[1]); ::close(out.fd[0]); ::close(err.fd[0]);
        return r;
    }
    // A child that exits without reading all its input must not kill us
    // with SIGPIPE: hold the signal on this thread and discard it after.
    sigset_t pipeSet, oldSet;
    sigemptyset(&pipeSet);
    sigaddset(&pipeSet, SIGPIPE);
    ::pthread_sigmask(SIG_BLOCK, &pipeSet, &oldSet);
    pump(in.fd[1], out.fd[0], err.fd[0], input, r, timeoutMs);
    timespec zero{0, 0};
    while (::sigtimedwait(&pipeSet, nullptr, &zero) > 0) {}
    ::pthread_sigmask(SIG_SETMASK, &oldSet, nullptr);
    if (r.timedOut) ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
    if (WIFEXITED(status)) r.exitCode = WEXITSTATUS(status);
    else if (WIFSIGNALED(status)) r.exitCode = 128 + WTERMSIG(status);
    return r;
}

}  // namespace

PythonResult runPython(const std::string& script, const std::string& input,
                       const std::vector<std::string>& args, int timeoutMs) {
    std::vector<std::string> argv = {"python3", "-c", script};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(std::move(argv), input, timeoutMs);
}

PythonResult runPythonFile(const std::string& path, const std::string& input,
                           const std::vector<std::string>& args, int timeoutMs) {
    std::vector<std::string> argv = {"python3", path};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(std::move(argv), input, timeoutMs);
}

// Python replaces itself with the program, so the timeout still kills it.
PythonResult runProgram(const std::vector<std::string>& argv, int timeoutMs) {
    return runPython("import os,sys; os.execvp(sys.argv[1], sys.argv[1:])", "", argv, timeoutMs);
}

}  // namespace testsupport
}  // namespace ostmail
