// Many small messages over one reused connection: one VmMailMan sends
// 1,000 messages, each composed afresh with VmEmail, to a loopback sink.
// The same workload in Python (email + smtplib) runs against the same sink.
#include "ChildRun.h"
#include "SmtpSink.h"
#include "facade/VmEmail.h"
#include "facade/VmMailMan.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <string>

namespace {

constexpr int kMessages = 1000;
const char kBody[] =
    "Hello,\r\n\r\nThis is benchmark message number %d. The nightly job finished without errors and the report "
    "is ready for review.\r\n\r\nRegards,\r\nThe bench\r\n";

bench::SmtpSink* g_sink = nullptr;
bench::Series g_ostmail, g_quickAck, g_python;
bench::Series g_ostmailCpu, g_pythonCpu;
double g_pythonRss = 0;

// Returns false when a send failed.
bool sendAll(int port, int count) {
    ostmail::VmMailMan mailman;
    mailman.put_SmtpHost("127.0.0.1");
    mailman.put_SmtpPort(port);
    char body[512], subject[64];
    for (int n = 0; n < count; ++n) {
        ostmail::VmEmail email;
        snprintf(subject, sizeof subject, "Benchmark message %d", n);
        snprintf(body, sizeof body, kBody, n);
        email.put_Subject(subject);
        email.put_FromName("Bench Sender");
        email.put_FromAddress("sender@example.com");
        email.AddTo("", "rcpt@example.com");
        email.put_Body(body);
        if (!mailman.SendEmail(email)) {
            fprintf(stderr, "send %d failed:\n%s\n", n, mailman.lastErrorText());
            return false;
        }
    }
    return true;
}

// quickAck: the sink acknowledges at once (a diagnostic; real servers delay).
void runOstmail(benchmark::State& state, bool quickAck, bench::Series& series) {
    g_sink->setQuickAck(quickAck);
    for (auto _ : state) {
        g_sink->resetCounts();
        auto t0 = std::chrono::steady_clock::now();
        double cpu0 = bench::threadCpuSeconds();
        bool ok = sendAll(g_sink->plainPort(), kMessages);
        g_ostmailCpu.add(bench::threadCpuSeconds() - cpu0);
        double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        state.SetIterationTime(s);
        if (!ok || g_sink->messages() != kMessages) {
            state.SkipWithError("the sink did not get every message");
            return;
        }
        series.add(s);
    }
    g_sink->setQuickAck(false);
    state.counters["msgs_per_s"] = kMessages / series.best();
    state.counters["peak_rss_MiB"] = bench::peakRssSelfMiB();
}

void BM_VmMailMan1000(benchmark::State& state) { runOstmail(state, false, g_ostmail); }
void BM_VmMailMan1000_QuickAckSink(benchmark::State& state) { runOstmail(state, true, g_quickAck); }

void BM_PythonSmtplib1000(benchmark::State& state) {
    const std::string script = OSTMAIL_SOURCE_DIR "/bench/scripts/python_smtp_many.py";
    for (auto _ : state) {
        g_sink->resetCounts();
        bench::ChildResult r = bench::runChild(
            {"/usr/bin/python3", script, std::to_string(g_sink->plainPort()), std::to_string(kMessages)});
        double s = bench::jsonNumber(r.output, "seconds");
        if (!r.ok || s <= 0 || g_sink->messages() != kMessages) {
            state.SkipWithError("python run failed");
            return;
        }
        state.SetIterationTime(s);
        g_python.add(s);
        g_pythonCpu.add(r.cpuSeconds);
        g_pythonRss = r.peakRssMiB;
    }
    state.counters["msgs_per_s"] = kMessages / g_python.best();
    state.counters["peak_rss_MiB"] = g_pythonRss;
}

BENCHMARK(BM_VmMailMan1000)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);
BENCHMARK(BM_VmMailMan1000_QuickAckSink)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(5);
BENCHMARK(BM_PythonSmtplib1000)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);

void summary() {
    printf("\n%d messages over one connection (composed with VmEmail, sent with VmMailMan):\n", kMessages);
    double ours = g_ostmail.empty() ? 0 : kMessages / g_ostmail.best();
    if (ours > 0)
        printf("  Ostmail: best %.3f s, median %.3f s -> %.0f msg/s (median %.0f msg/s)\n", g_ostmail.best(),
               g_ostmail.median(), ours, kMessages / g_ostmail.median());
    if (!g_quickAck.empty())
        printf("  Ostmail, sink acknowledging at once (diagnostic): best %.3f s -> %.0f msg/s\n", g_quickAck.best(),
               kMessages / g_quickAck.best());
    if (g_python.empty()) {
        printf("  Python comparison did not run.\n");
        return;
    }
    double py = kMessages / g_python.best();
    printf("  Python email+smtplib: best %.3f s, median %.3f s -> %.0f msg/s\n", g_python.best(),
           g_python.median(), py);
    printf("  Client CPU (user+system), best: Ostmail sending thread %.3f s, Python process %.3f s (%.1fx)\n",
           g_ostmailCpu.best(), g_pythonCpu.best(), g_ostmailCpu.best() > 0 ? g_pythonCpu.best() / g_ostmailCpu.best() : 0);
    double ratio = ours / py;
    if (ours > 0)
        printf("  Ratio: %.2fx Python's rate (target >= 3x): %s\n", ratio, ratio >= 3 ? "met" : "MISSED");
    if (!g_quickAck.empty())
        printf("  Ratio with the quick-ACK sink: %.2fx\n", kMessages / g_quickAck.best() / py);
}

}  // namespace

int main(int argc, char** argv) {
    bench::SmtpSink sink;
    if (!sink.ok()) {
        fprintf(stderr, "cannot start the sink\n");
        return 1;
    }
    g_sink = &sink;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    summary();
    return 0;
}
