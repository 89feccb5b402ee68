// A long run: 100,000 messages over one reused connection and 5,000 over a
// new connection each, plain and implicit TLS, to the loopback sink (run in
// a child process so that its memory and descriptors are not counted here).
// Prints messages per second and peak RSS at 10% and at 100% of each phase;
// fails when the peak grew by more than 5% after the first 10%, or when a
// file descriptor is left open at the end.
//
//   bench_soak [reused-count] [new-count]
#include "SmtpSink.h"
#include "facade/VmEmail.h"
#include "facade/VmMailMan.h"

#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

namespace {

double peakRssMiB() {
    struct rusage ru {};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss / 1024.0;
}

int openFds() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d)) ++n;
        closedir(d);
    }
    return n - 3;  // ".", ".." and the descriptor of the listing itself
}

struct SinkChild {
    pid_t pid = -1;
    int plainPort = 0, tlsPort = 0;
    int control = -1;  // closing it stops the sink
};

// Forks before this process has any thread; the child serves until the
// control pipe closes.
SinkChild startSink(const std::string& certPath) {
    int up[2], down[2];
    SinkChild s;
    if (pipe(up) != 0 || pipe(down) != 0) return s;
    s.pid = fork();
    if (s.pid == 0) {
        close(up[0]);
        close(down[1]);
        SSL_CTX* ctx = bench::makeSinkTlsContext(certPath);
        bench::SmtpSink sink(ctx);
        int ports[2] = {sink.ok() ? sink.plainPort() : 0, sink.tlsPort()};
        (void)!write(up[1], ports, sizeof ports);
        char c;
        while (read(down[0], &c, 1) > 0) {
        }
        _exit(0);
    }
    close(up[1]);
    close(down[0]);
    int ports[2] = {0, 0};
    if (read(up[0], ports, sizeof ports) != static_cast<ssize_t>(sizeof ports)) ports[0] = 0;
    close(up[0]);
    s.plainPort = ports[0];
    s.tlsPort = ports[1];
    s.control = down[1];
    return s;
}

bool sendOne(ostmail::VmMailMan& mailman, int n) {
    char body[256], subject[64];
    snprintf(subject, sizeof subject, "Soak message %d", n);
    snprintf(body, sizeof body, "Hello,\r\n\r\nThis is soak message number %d.\r\n\r\nRegards,\r\nThe bench\r\n", n);
    ostmail::VmEmail email;
    email.put_Subject(subject);
    email.put_FromName("Bench Sender");
    email.put_FromAddress("sender@example.com");
    email.AddTo("", "rcpt@example.com");
    email.put_Body(body);
    if (mailman.SendEmail(email)) return true;
    fprintf(stderr, "send %d failed:\n%s\n", n, mailman.lastErrorText());
    return false;
}

std::unique_ptr<ostmail::VmMailMan> newMailMan(int port, bool tls) {
    auto m = std::make_unique<ostmail::VmMailMan>();
    m->put_SmtpHost("127.0.0.1");
    m->put_SmtpPort(port);
    m->put_SmtpSsl(tls);
    return m;
}

// One phase; false when a send failed or the peak grew past 5%.
bool phase(const char* name, int port, bool tls, int count, bool reuse) {
    auto mailman = newMailMan(port, tls);
    const auto t0 = std::chrono::steady_clock::now();
    double at10 = 0;
    for (int n = 0; n < count; ++n) {
        if (!reuse) mailman = newMailMan(port, tls);
        if (!sendOne(*mailman, n)) return false;
        if (n + 1 == count / 10) at10 = peakRssMiB();
    }
    mailman.reset();
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double at100 = peakRssMiB();
    const bool flat = at100 <= at10 * 1.05;
    printf("%-26s %7d msgs %8.1f s %8.0f msg/s  peak RSS %.1f MiB at 10%%, %.1f MiB at 100%% (%+.1f%%) %s\n", name,
           count, s, count / s, at10, at100, (at100 / at10 - 1) * 100, flat ? "ok" : "GREW");
    fflush(stdout);
    return flat;
}

}  // namespace

int main(int argc, char** argv) {
    const int reused = argc > 1 ? atoi(argv[1]) : 100000;
    const int fresh = argc > 2 ? atoi(argv[2]) : 5000;
    char tmpl[] = "/tmp/ostmail-soak-XXXXXX";
    const std::string dir = mkdtemp(tmpl) ? tmpl : "/tmp";
    const std::string cert = dir + "/sink-cert.pem";
    SinkChild sink = startSink(cert);
    if (sink.plainPort == 0) {
        fprintf(stderr, "cannot start the sink\n");
        return 1;
    }
    setenv("SSL_CERT_FILE", cert.c_str(), 1);
    const int fdsBefore = openFds();
    bool ok = phase("plain, reused connection", sink.plainPort, false, reused, true);
    ok = phase("plain, new connections", sink.plainPort, false, fresh, false) && ok;
    ok = phase("TLS, reused connection", sink.tlsPort, true, reused, true) && ok;
    ok = phase("TLS, new connections", sink.tlsPort, true, fresh, false) && ok;
    const int fdsAfter = openFds();
    printf("file descriptors: %d before, %d after %s\n", fdsBefore, fdsAfter, fdsBefore == fdsAfter ? "ok" : "LEAKED");
    close(sink.control);
    int status = 0;
    waitpid(sink.pid, &status, 0);
    unlink(cert.c_str());
    rmdir(dir.c_str());
    return ok && fdsBefore == fdsAfter ? 0 : 1;
}
