#include "Process.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace ostmail {
namespace platform {

namespace {

int64_t nowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Reads the child's output until it closes the pipe or the time is up.
bool drain(int fd, int timeoutMs, std::string& text) {
    int64_t deadline = nowMs() + timeoutMs;
    char buf[4096];
    for (;;) {
        int64_t left = deadline - nowMs();
        if (left <= 0) return false;
        pollfd p{fd, POLLIN, 0};
        int r = poll(&p, 1, static_cast<int>(left));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return true;
        if (text.size() < 65536) text.append(buf, static_cast<size_t>(n));
    }
}

}  // namespace

bool runShellFirstLine(const std::string& command, int timeoutMs, std::string& out, std::string& error) {
    out.clear();
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        error = "cannot create a pipe";
        return false;
    }
    pid_t pid = fork();
    if (pid == 0) {
        // Own process group, so a time-out also ends what the shell started.
        setpgid(0, 0);
        int devnull = open("/dev/null", O_RDONLY);
        if (devnull >= 0) dup2(devnull, 0);
        dup2(fds[1], 1);
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        error = "cannot start /bin/sh";
        return false;
    }
    std::string text;
    bool finished = drain(fds[0], timeoutMs, text);
    close(fds[0]);
    if (!finished) kill(-pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!finished) {
        error = "timed out after " + std::to_string(timeoutMs / 1000) + " s";
        return false;
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        error = WIFEXITED(status) ? "exited with status " + std::to_string(WEXITSTATUS(status)) : "was killed";
        return false;
    }
    out = text.substr(0, text.find('\n'));
    if (!out.empty() && out.back() == '\r') out.pop_back();
    return true;
}

std::string envValue(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

bool readableByOthers(const char* path) {
    struct stat st{};
    if (stat(path, &st) != 0) return false;
    // A file root owns may be shared with its group: the senders of a machine.
    return (st.st_mode & S_IROTH) != 0 || ((st.st_mode & S_IRGRP) != 0 && st.st_uid != 0);
}

bool readStdin(std::string& out, size_t limit) {
    char buf[65536];
    for (;;) {
        ssize_t n = read(0, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        out.append(buf, static_cast<size_t>(n));
        if (out.size() > limit) return false;
    }
}

}  // namespace platform
}  // namespace ostmail
