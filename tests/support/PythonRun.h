#pragma once
// Runs Debian's /usr/bin/python3 as a reference implementation for tests:
// a script (or a script file), bytes on stdin, stdout/stderr captured.
// Use sys.stdin.buffer / sys.stdout.buffer for exact bytes.
//
//   PythonResult r = runPython("import sys,base64; sys.stdout.buffer.write("
//                              "base64.b64encode(sys.stdin.buffer.read()))", data);
//   ASSERT_EQ(r.exitCode, 0) << r.err;

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace ostmail {
namespace testsupport {

struct PythonResult {
    int exitCode = -1;  // 128 + signal when killed; -1 when it could not run
    std::string out;
    std::string err;
};

namespace detail {

inline std::string readBack(int fd) {
    std::string s;
    char buf[65536];
    for (ssize_t n; (n = ::pread(fd, buf, sizeof buf, static_cast<off_t>(s.size()))) > 0;)
        s.append(buf, static_cast<size_t>(n));
    return s;
}

// python3 ARGV... ARGS...: no PYTHON* variables, no user site, no bytecode
// files, and UTF-8 with surrogateescape on stdin and stdout. The child is
// killed once the time is up.
inline PythonResult runPython3(std::vector<std::string> argv, const std::vector<std::string>& args,
                               const std::string& input, int timeoutMs) {
    PythonResult r;
    argv.insert(argv.begin(), {"python3", "-E", "-s", "-B", "-X", "utf8"});
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> argp;
    for (std::string& s : argv) argp.push_back(&s[0]);
    argp.push_back(nullptr);
    // The child's stdin, stdout and stderr are unnamed files, not pipes: the
    // input is there before the child starts and the outputs are read after it
    // ends, so nothing has to pump them (or dodge SIGPIPE) meanwhile.
    int fds[3];
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int i = 0; i < 3; ++i) {
        fds[i] = ::open("/tmp", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
        posix_spawn_file_actions_adddup2(&actions, fds[i], i);
    }
    const bool ready = fds[0] >= 0 && fds[1] >= 0 && fds[2] >= 0 &&
                       ::pwrite(fds[0], input.data(), input.size(), 0) == static_cast<ssize_t>(input.size());
    pid_t pid = -1;
    const int rc = ready ? ::posix_spawn(&pid, "/usr/bin/python3", &actions, nullptr, argp.data(), environ) : errno;
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        r.err = std::string("cannot run python3: ") + std::strerror(rc);
    } else {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        int status = 0;
        pid_t done;
        while ((done = ::waitpid(pid, &status, WNOHANG)) != pid && (done == 0 || errno == EINTR)) {
            if (std::chrono::steady_clock::now() > deadline) ::kill(pid, SIGKILL);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        const bool signalled = done == pid && WIFSIGNALED(status);
        r.exitCode = signalled ? 128 + WTERMSIG(status) : done == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        r.out = readBack(fds[1]);
        r.err = readBack(fds[2]);
    }
    for (int fd : fds)
        if (fd >= 0) ::close(fd);
    return r;
}

}  // namespace detail

// python3 -c SCRIPT ARGS...
inline PythonResult runPython(const std::string& script, const std::string& input = "",
                              const std::vector<std::string>& args = {}, int timeoutMs = 60000) {
    return detail::runPython3({"-c", script}, args, input, timeoutMs);
}
// python3 PATH ARGS...
inline PythonResult runPythonFile(const std::string& path, const std::string& input = "",
                                  const std::vector<std::string>& args = {}, int timeoutMs = 60000) {
    return detail::runPython3({path}, args, input, timeoutMs);
}

// Any program, its output captured the same way. Python replaces itself
// with the program, so the timeout still kills it.
inline PythonResult runProgram(const std::vector<std::string>& argv, int timeoutMs = 130000) {
    return runPython("import os,sys; os.execvp(sys.argv[1], sys.argv[1:])", "", argv, timeoutMs);
}

}  // namespace testsupport
}  // namespace ostmail
