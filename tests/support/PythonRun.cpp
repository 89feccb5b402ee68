#include "support/PythonRun.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

extern char** environ;

namespace ostmail {
namespace testsupport {

namespace {

const char* const kPython = "/usr/bin/python3";

// The child's stdin, stdout and stderr are unlinked files, not pipes: the
// input is there before the child starts and the outputs are read after it
// ends, so nothing has to pump them (or dodge SIGPIPE) meanwhile.
int unnamedFile() {
    char name[] = "/tmp/ostmail-run-XXXXXX";
    int fd = ::mkostemp(name, O_CLOEXEC);
    if (fd >= 0) ::unlink(name);
    return fd;
}

std::string readBack(int fd) {
    std::string s;
    char buf[65536];
    ::lseek(fd, 0, SEEK_SET);
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) s.append(buf, static_cast<size_t>(n));
    return s;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> p;
    for (std::string& s : strings) p.push_back(&s[0]);
    p.push_back(nullptr);
    return p;
}

// Waits for the child, killing it once the time is up.
int waitFor(pid_t pid, int timeoutMs, bool& timedOut) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int status = 0;
    for (pid_t done; (done = ::waitpid(pid, &status, WNOHANG)) != pid;) {
        if (done < 0 && errno != EINTR) return -1;
        if (!timedOut && std::chrono::steady_clock::now() > deadline) {
            timedOut = true;
            ::kill(pid, SIGKILL);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

// python3 HEAD... ARGS...
PythonResult run(std::vector<std::string> argv, const std::vector<std::string>& args, const std::string& input,
                 int timeoutMs) {
    PythonResult r;
    argv.insert(argv.end(), args.begin(), args.end());
    const int fds[3] = {unnamedFile(), unnamedFile(), unnamedFile()};
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e)
        if (std::strncmp(*e, "PYTHON", 6) != 0) env.emplace_back(*e);
    env.insert(env.end(), {"PYTHONIOENCODING=utf-8:surrogateescape", "PYTHONDONTWRITEBYTECODE=1",
                           "PYTHONNOUSERSITE=1"});
    std::vector<char*> argp = pointers(argv), envp = pointers(env);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int i = 0; i < 3; ++i) posix_spawn_file_actions_adddup2(&actions, fds[i], i);
    const bool ready = fds[0] >= 0 && fds[1] >= 0 && fds[2] >= 0 &&
                       ::write(fds[0], input.data(), input.size()) == static_cast<ssize_t>(input.size()) &&
                       ::lseek(fds[0], 0, SEEK_SET) == 0;
    pid_t pid = -1;
    const int rc = ready ? ::posix_spawn(&pid, kPython, &actions, nullptr, argp.data(), envp.data()) : errno;
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        r.err = std::string("cannot run python3: ") + std::strerror(rc);
    } else {
        r.exitCode = waitFor(pid, timeoutMs, r.timedOut);
        r.out = readBack(fds[1]);
        r.err = readBack(fds[2]);
    }
    for (int fd : fds)
        if (fd >= 0) ::close(fd);
    return r;
}

}  // namespace

PythonResult runPython(const std::string& script, const std::string& input,
                       const std::vector<std::string>& args, int timeoutMs) {
    return run({"python3", "-c", script}, args, input, timeoutMs);
}

PythonResult runPythonFile(const std::string& path, const std::string& input,
                           const std::vector<std::string>& args, int timeoutMs) {
    return run({"python3", path}, args, input, timeoutMs);
}

// Python replaces itself with the program, so the timeout still kills it.
PythonResult runProgram(const std::vector<std::string>& argv, int timeoutMs) {
    return runPython("import os,sys; os.execvp(sys.argv[1], sys.argv[1:])", "", argv, timeoutMs);
}

}  // namespace testsupport
}  // namespace ostmail
