#pragma once
// Runs a program as a child process and reports what it cost on its own:
// wall time from fork to exit, peak RSS (wait4) and its standard output.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace bench {

inline double cpuOf(const struct rusage& ru) {
    return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// CPU time of the calling thread so far.
inline double threadCpuSeconds() {
    struct rusage ru {};
    getrusage(RUSAGE_THREAD, &ru);
    return cpuOf(ru);
}

struct ChildResult {
    bool ok = false;  // started and exited with status 0
    int status = -1;
    double seconds = 0;
    double peakRssMiB = 0;
    double cpuSeconds = 0;  // user + system
    std::string output;
};

// env entries ("NAME=value") are added to the child's environment.
inline ChildResult runChild(const std::vector<std::string>& argv, const std::vector<std::string>& env = {}) {
    ChildResult r;
    int pipeFd[2];
    if (argv.empty() || ::pipe(pipeFd) != 0) return r;
    // Built before fork: the parent has threads, so the child only execs.
    std::vector<char*> args, envp;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    // A given entry replaces an inherited one of the same name: getenv
    // takes the first, so appending would not override it.
    auto overridden = [&env](const char* e) {
        for (const std::string& mine : env) {
            size_t eq = mine.find('=');
            if (eq != std::string::npos && strncmp(e, mine.c_str(), eq + 1) == 0) return true;
        }
        return false;
    };
    for (char** e = environ; *e; ++e)
        if (!overridden(*e)) envp.push_back(*e);
    for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    auto t0 = std::chrono::steady_clock::now();
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(pipeFd[1], STDOUT_FILENO);
        ::close(pipeFd[0]);
        ::close(pipeFd[1]);
        ::execve(args[0], args.data(), envp.data());
        ::_exit(127);
    }
    ::close(pipeFd[1]);
    if (pid < 0) {
        ::close(pipeFd[0]);
        return r;
    }
    char buf[4096];
    for (ssize_t n; (n = ::read(pipeFd[0], buf, sizeof buf)) > 0;) r.output.append(buf, static_cast<size_t>(n));
    ::close(pipeFd[0]);
    struct rusage ru {};
    int status = 0;
    ::wait4(pid, &status, 0, &ru);
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    r.peakRssMiB = ru.ru_maxrss / 1024.0;
    r.cpuSeconds = cpuOf(ru);
    r.status = status;
    r.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return r;
}

// A number after "key": in a one-line JSON object; 0 when absent.
inline double jsonNumber(const std::string& json, const std::string& key) {
    size_t at = json.find("\"" + key + "\":");
    return at == std::string::npos ? 0 : std::atof(json.c_str() + at + key.size() + 3);
}

// Best and median of a series of timings.
struct Series {
    std::vector<double> values;
    void add(double v) { values.push_back(v); }
    bool empty() const { return values.empty(); }
    double best() const { return values.empty() ? 0 : *std::min_element(values.begin(), values.end()); }
    double last() const { return values.empty() ? 0 : values.back(); }
    double worst() const { return values.empty() ? 0 : *std::max_element(values.begin(), values.end()); }
    double median() const {
        if (values.empty()) return 0;
        std::vector<double> v = values;
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    }
};

inline double peakRssSelfMiB() {
    struct rusage ru {};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss / 1024.0;
}

}  // namespace bench
