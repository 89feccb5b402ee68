// One message with a 25 MiB attachment sent by CMailObj::DoMail to a
// loopback sink, in a child process so that its peak RSS is its own, over
// plain TCP and over implicit TLS. In the same run: Python's email +
// smtplib sending the same message, and curl uploading the message as
// rendered in advance, against the same sink.
#include "ChildRun.h"
#include "Payload.h"
#include "SmtpSink.h"
#include "facade/VmEmail.h"
#include "ostmail/CMailObj.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr size_t kAttachmentBytes = 25u << 20;
const char kBody[] = "Hello,\r\n\r\nThe full data set is attached.\r\n\r\nRegards,\r\nThe bench\r\n";
const char kSubject[] = "Large attachment";

bench::SmtpSink* g_sink = nullptr;
std::string g_dir, g_attachment, g_rendered, g_cert, g_self;
size_t g_renderedBytes = 0;

struct Figures {
    bench::Series seconds;
    bench::Series cpuSeconds;  // user + system of the process
    double peakRssMiB = 0;
    uint64_t sinkBytes = 0;
    std::string failure;
};
Figures g_doMail, g_doMailQuickAck, g_doMailTls, g_doMailPlainPaired, g_python, g_curl, g_curlTls;

void writeFile(const std::string& path, const std::string& data) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return;
    fwrite(data.data(), 1, data.size(), f);
    fclose(f);
}

// Pseudo-random bytes: base64 of them is as long as of any binary file.
void makeInputs() {
    char tmpl[] = "/tmp/ostmail-bench-XXXXXX";
    g_dir = mkdtemp(tmpl) ? tmpl : "/tmp";
    g_attachment = g_dir + "/payload.bin";
    g_rendered = g_dir + "/rendered.eml";
    g_cert = g_dir + "/sink-cert.pem";
    std::string data(kAttachmentBytes, '\0');
    uint32_t x = 2463534242u;
    bench::fillNoise(data, x);
    writeFile(g_attachment, data);

    ostmail::VmEmail email;
    email.put_Subject(kSubject);
    email.put_FromName("Bench Sender");
    email.put_FromAddress("sender@example.com");
    email.AddTo("", "rcpt@example.com");
    email.put_Body(kBody);
    email.addFileAttachment(g_attachment.c_str());
    const char* mime = email.getMime();
    if (mime) {
        g_renderedBytes = strlen(mime);
        writeFile(g_rendered, mime);
    }
}

// The child: exactly what a host program does.
int doMailChild(int port, bool tls, const char* attachment) {
    CMailObj mail;
    mail.SetServer(L"127.0.0.1");
    mail.SetPortNum(port);
    mail.UseSSL(tls ? 1 : 0);
    mail.SetSender(L"Bench Sender");
    mail.SetSenderAddr(L"sender@example.com");
    mail.SetRecipAddr(L"rcpt@example.com");
    mail.SetSubject(L"Large attachment");
    mail.SetBody(L"Hello,\r\n\r\nThe full data set is attached.\r\n\r\nRegards,\r\nThe bench\r\n");
    std::string a(attachment);
    mail.SetAttachment(std::wstring(a.begin(), a.end()));
    return mail.DoMail() == 0 ? 0 : 1;
}

struct Job {
    Job(Figures& f, std::vector<std::string> a, std::vector<std::string> e = {})
        : fig(f), argv(std::move(a)), env(std::move(e)) {}
    Figures& fig;
    std::vector<std::string> argv;
    std::vector<std::string> env;
};

// One child per iteration; the sink must have taken at least the
// attachment's base64 size, or the run counts as failed.
bool runOnce(Job& job) {
    g_sink->resetCounts();
    bench::ChildResult r = bench::runChild(job.argv, job.env);
    uint64_t got = g_sink->dataBytes();
    if (!r.ok || g_sink->messages() != 1 || got < kAttachmentBytes / 3 * 4) {
        job.fig.failure = "exit status " + std::to_string(r.status) + ", sink took " + std::to_string(got) +
                          " bytes in " + std::to_string(g_sink->messages()) + " messages";
        return false;
    }
    job.fig.seconds.add(r.seconds);
    job.fig.cpuSeconds.add(r.cpuSeconds);
    if (r.peakRssMiB > job.fig.peakRssMiB) job.fig.peakRssMiB = r.peakRssMiB;
    job.fig.sinkBytes = got;
    return true;
}

// Several jobs take turns within each iteration, so that a ratio between
// them is not skewed by the VM being busier during one of them; the first
// job's time is the iteration's.
void measure(benchmark::State& state, std::vector<Job> jobs) {
    for (auto _ : state) {
        for (Job& job : jobs) {
            if (runOnce(job)) continue;
            state.SkipWithError(job.fig.failure.c_str());
            return;
        }
        state.SetIterationTime(jobs[0].fig.seconds.last());
    }
    Figures& fig = jobs[0].fig;
    state.counters["peak_rss_MiB"] = fig.peakRssMiB;
    state.counters["MiB_per_s"] = fig.sinkBytes / 1048576.0 / fig.seconds.best();
}

// OSTMAIL_BENCH_WRAP (a command line split at spaces, such as a profiler
// with its options) runs in front of the DoMail child; its figures are then
// the profiler's, not DoMail's.
std::vector<std::string> doMailArgs(int port, bool tls) {
    std::vector<std::string> a;
    if (const char* wrap = getenv("OSTMAIL_BENCH_WRAP")) {
        std::string w = wrap;
        for (size_t at = 0, sp; at < w.size(); at = sp + 1) {
            sp = w.find(' ', at);
            if (sp == std::string::npos) sp = w.size();
            if (sp > at) a.push_back(w.substr(at, sp - at));
        }
    }
    a.insert(a.end(), {g_self, "--domail", std::to_string(port), tls ? "1" : "0", g_attachment});
    return a;
}

std::vector<std::string> curlArgs(bool tls) {
    std::vector<std::string> a = {"/usr/bin/curl", "-sS", "--mail-from", "sender@example.com", "--mail-rcpt",
                                  "rcpt@example.com", "--upload-file", g_rendered};
    if (tls) {
        a.insert(a.end(), {"--ssl-reqd", "--cacert", g_cert, "--url",
                           "smtps://127.0.0.1:" + std::to_string(g_sink->tlsPort())});
    } else {
        a.insert(a.end(), {"--url", "smtp://127.0.0.1:" + std::to_string(g_sink->plainPort())});
    }
    return a;
}

void BM_DoMail_Plain(benchmark::State& state) { measure(state, {{g_doMail, doMailArgs(g_sink->plainPort(), false)}}); }

// Diagnostic: the sink acknowledges at once, so the end marker written
// behind the last body bytes is not held back by Nagle's algorithm.
void BM_DoMail_Plain_QuickAckSink(benchmark::State& state) {
    g_sink->setQuickAck(true);
    measure(state, {{g_doMailQuickAck, doMailArgs(g_sink->plainPort(), false)}});
    g_sink->setQuickAck(false);
}

void BM_PythonSmtplib(benchmark::State& state) {
    measure(state, {{g_python,
                     {"/usr/bin/python3", OSTMAIL_SOURCE_DIR "/bench/scripts/python_smtp_large.py",
                      std::to_string(g_sink->plainPort()), g_attachment, kBody}}});
}

void BM_CurlUpload_Plain(benchmark::State& state) { measure(state, {{g_curl, curlArgs(false)}}); }

// The sink's certificate is trusted the same way for both clients. A plain
// run follows each TLS run, for the TLS / plain ratio.
void BM_DoMail_Tls(benchmark::State& state) {
    measure(state, {{g_doMailTls, doMailArgs(g_sink->tlsPort(), true), {"SSL_CERT_FILE=" + g_cert}},
                    {g_doMailPlainPaired, doMailArgs(g_sink->plainPort(), false)}});
}

void BM_CurlUpload_Tls(benchmark::State& state) { measure(state, {{g_curlTls, curlArgs(true)}}); }

void registerAll() {
    for (auto* b : {benchmark::RegisterBenchmark("BM_DoMail_Plain", BM_DoMail_Plain),
                    benchmark::RegisterBenchmark("BM_DoMail_Plain_QuickAckSink", BM_DoMail_Plain_QuickAckSink),
                    benchmark::RegisterBenchmark("BM_CurlUpload_Plain", BM_CurlUpload_Plain),
                    benchmark::RegisterBenchmark("BM_DoMail_Tls", BM_DoMail_Tls),
                    benchmark::RegisterBenchmark("BM_CurlUpload_Tls", BM_CurlUpload_Tls)})
        b->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(10);  // best of 10: a shared VM is noisy
    benchmark::RegisterBenchmark("BM_PythonSmtplib", BM_PythonSmtplib)
        ->Unit(benchmark::kMillisecond)
        ->UseManualTime()
        ->Iterations(5);
}

const char* verdict(bool met) { return met ? "met" : "MISSED"; }

void line(const char* name, const Figures& f) {
    if (f.seconds.empty()) {
        printf("  %-26s did not run%s%s\n", name, f.failure.empty() ? "" : ": ", f.failure.c_str());
        return;
    }
    printf("  %-26s best %.3f s, median %.3f s, CPU %.3f s, peak RSS %.1f MiB, sink took %.1f MiB\n", name,
           f.seconds.best(), f.seconds.median(), f.cpuSeconds.best(), f.peakRssMiB, f.sinkBytes / 1048576.0);
}

void summary() {
    const double att = kAttachmentBytes / 1048576.0;
    printf("\nOne message, %.0f MiB attachment (%.1f MiB rendered), whole process from start to exit:\n", att,
           g_renderedBytes / 1048576.0);
    line("DoMail, plain TCP", g_doMail);
    line("DoMail, quick-ACK sink", g_doMailQuickAck);
    line("Python email+smtplib", g_python);
    line("curl --upload-file", g_curl);
    line("DoMail, implicit TLS", g_doMailTls);
    line("DoMail, plain, between", g_doMailPlainPaired);
    line("curl --ssl-reqd (smtps)", g_curlTls);
    if (!g_doMail.seconds.empty()) {
        double ours = g_doMail.seconds.best();
        if (!g_python.seconds.empty())
            printf("  Python / DoMail: %.2fx (target >= 5x): %s\n", g_python.seconds.best() / ours,
                   verdict(g_python.seconds.best() / ours >= 5));
        if (!g_curl.seconds.empty()) {
            printf("  DoMail / curl: %.2fx (target <= 3x): %s\n", ours / g_curl.seconds.best(),
                   verdict(ours / g_curl.seconds.best() <= 3));
            printf("  DoMail / curl in CPU time: %.2fx\n", g_doMail.cpuSeconds.best() / g_curl.cpuSeconds.best());
        }
        if (!g_doMailQuickAck.seconds.empty() && !g_curl.seconds.empty())
            printf("  DoMail with the quick-ACK sink / curl: %.2fx (diagnostic)\n",
                   g_doMailQuickAck.seconds.best() / g_curl.seconds.best());
        printf("  DoMail peak RSS / attachment: %.2fx (target <= 3x): %s\n", g_doMail.peakRssMiB / att,
               verdict(g_doMail.peakRssMiB / att <= 3));
    }
    if (g_doMailTls.seconds.empty() && !g_curlTls.seconds.empty())
        printf("  DoMail over implicit TLS failed where curl succeeded against the same sink: TLS figures pending\n");
    if (!g_doMailTls.seconds.empty() && !g_doMailPlainPaired.seconds.empty()) {
        double tls = g_doMailTls.seconds.best(), plain = g_doMailPlainPaired.seconds.best();
        printf("  DoMail TLS / plain, runs taking turns: %.2fx (target <= 1.3x): %s\n", tls / plain,
               verdict(tls / plain <= 1.3));
        bench::Series pairRatios;
        const auto& t = g_doMailTls.seconds.values;
        const auto& p = g_doMailPlainPaired.seconds.values;
        for (size_t i = 0; i < t.size() && i < p.size(); ++i) pairRatios.add(t[i] / p[i]);
        printf("  DoMail TLS / plain, median of the pairs: %.2fx\n", pairRatios.median());
        printf("  DoMail TLS / plain in CPU time: %.2fx\n",
               g_doMailTls.cpuSeconds.best() / g_doMailPlainPaired.cpuSeconds.best());
        if (!g_curlTls.seconds.empty()) {
            printf("  DoMail TLS / curl TLS: %.2fx (target <= 3x): %s\n", tls / g_curlTls.seconds.best(),
                   verdict(tls / g_curlTls.seconds.best() <= 3));
            printf("  DoMail TLS / curl TLS in CPU time: %.2fx\n",
                   g_doMailTls.cpuSeconds.best() / g_curlTls.cpuSeconds.best());
        }
        printf("  DoMail TLS peak RSS / attachment: %.2fx\n", g_doMailTls.peakRssMiB / att);
    }
    // The sink decrypts on the same machine, so part of any TLS cost is its.
    if (!g_curlTls.seconds.empty() && !g_curl.seconds.empty()) {
        printf("  For scale, curl TLS / curl plain: %.2fx (CPU time %.2fx)\n",
               g_curlTls.seconds.best() / g_curl.seconds.best(),
               g_curlTls.cpuSeconds.best() / g_curl.cpuSeconds.best());
    }
}

// For profiling clients by hand: serves the sink until standard input
// closes; prints the ports and the certificate's path first.
int serveOnly() {
    char tmpl[] = "/tmp/ostmail-sink-XXXXXX";
    std::string dir = mkdtemp(tmpl) ? tmpl : "/tmp";
    std::string cert = dir + "/sink-cert.pem";
    SSL_CTX* tls = bench::makeSinkTlsContext(cert);
    {
        bench::SmtpSink sink(tls);
        if (tls) SSL_CTX_free(tls);
        printf("plain %d tls %d cert %s\n", sink.plainPort(), sink.tlsPort(), cert.c_str());
        fflush(stdout);
        char buf[256];
        while (fgets(buf, sizeof buf, stdin)) {
            printf("messages %llu bytes %llu\n", static_cast<unsigned long long>(sink.messages()),
                   static_cast<unsigned long long>(sink.dataBytes()));
            fflush(stdout);
        }
    }
    (void)!system(("rm -rf '" + dir + "'").c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && strcmp(argv[1], "--domail") == 0) return doMailChild(atoi(argv[2]), argv[3][0] == '1', argv[4]);

    if (argc == 2 && strcmp(argv[1], "--serve") == 0) return serveOnly();

    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    g_self.assign(self, n > 0 ? static_cast<size_t>(n) : 0);
    makeInputs();
    SSL_CTX* tls = bench::makeSinkTlsContext(g_cert);
    int rc = 1;
    {
        bench::SmtpSink sink(tls);
        if (tls) SSL_CTX_free(tls);
        if (sink.ok() && g_renderedBytes > 0) {
            g_sink = &sink;
            registerAll();
            benchmark::Initialize(&argc, argv);
            benchmark::RunSpecifiedBenchmarks();
            benchmark::Shutdown();
            summary();
            rc = 0;
        } else {
            fprintf(stderr, "cannot start the sink or render the message\n");
        }
    }
    (void)!system(("rm -rf '" + g_dir + "'").c_str());
    return rc;
}
