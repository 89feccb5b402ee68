// Composes and renders a message with a 25 MiB binary attachment and a
// 1 MiB text body, the way the mail manager does (facade calls, a sending
// copy, one rendered buffer), and compares with Python's email package.
#include "Payload.h"
#include "core/LogBase.h"
#include "email/ClsEmail.h"
#include "email/MimeRenderer.h"
#include "facade/VmEmail.h"

#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

using namespace ostmail;

namespace {

const size_t kAttachmentBytes = 25u << 20;
const size_t kBodyBytes = 1u << 20;
std::string g_dir, g_attachment, g_bodyFile, g_body;
double g_bestSeconds = 0;
size_t g_renderedBytes = 0;

double peakRssMiB() {
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss / 1024.0;
}

void makeInputs() {
    char tmpl[] = "/tmp/ostmail-bench-XXXXXX";
    g_dir = mkdtemp(tmpl) ? tmpl : "/tmp";
    g_attachment = g_dir + "/payload.bin";
    g_bodyFile = g_dir + "/body.txt";
    FILE* f = fopen(g_attachment.c_str(), "wb");
    std::string block(1u << 20, '\0');
    uint32_t x = 2463534242u;
    for (size_t done = 0; f && done < kAttachmentBytes; done += block.size()) {
        bench::fillNoise(block, x);
        fwrite(block.data(), 1, block.size(), f);
    }
    if (f) fclose(f);
    const std::string line = "The quick brown fox jumps over the lazy dog; status green, 42 items = done.\r\n";
    while (g_body.size() + line.size() <= kBodyBytes) g_body += line;
    g_body.append(kBodyBytes - g_body.size(), '.');
    f = fopen(g_bodyFile.c_str(), "wb");
    if (f) {
        fwrite(g_body.data(), 1, g_body.size(), f);
        fclose(f);
    }
}

void BM_ComposeAndRender(benchmark::State& state) {
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        VmEmail e;
        e.put_Utf8(true);
        e.put_Body(g_body.c_str());
        e.put_Subject("Weekly status report");
        e.put_FromName("Report Server");
        e.put_FromAddress("reports@example.com");
        e.AddTo("", "boss@example.com");
        if (!e.addFileAttachment(g_attachment.c_str())) state.SkipWithError("attachment failed");
        LogNull log;
        std::unique_ptr<Email2> copy = e.impl()->cloneForSending(log);
        StringBuffer out;
        MimeRenderer::render(*copy, out, "VMX-", false, log);
        g_renderedBytes = out.getSize();
        benchmark::DoNotOptimize(out.getString());
        double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (g_bestSeconds == 0 || s < g_bestSeconds) g_bestSeconds = s;
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kAttachmentBytes + kBodyBytes));
    state.counters["peak_rss_MiB"] = peakRssMiB();
    state.counters["output_MiB"] = g_renderedBytes / 1048576.0;
}
BENCHMARK(BM_ComposeAndRender)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();

void comparePython() {
    std::string cmd = "/usr/bin/python3 " OSTMAIL_SOURCE_DIR "/bench/scripts/python_email_render.py '" + g_attachment +
                      "' '" + g_bodyFile + "'";
    FILE* p = popen(cmd.c_str(), "r");
    char buf[512] = {0};
    double pySeconds = 0, pyRss = 0;
    if (p) {
        if (fgets(buf, sizeof buf, p)) sscanf(buf, "{\"seconds\": %lf, \"peak_rss_mib\": %lf", &pySeconds, &pyRss);
        pclose(p);
    }
    double inputMiB = (kAttachmentBytes + kBodyBytes) / 1048576.0;
    printf("\nOstmail: best %.3f s for compose+render, %.0f MB/s of input, peak RSS %.1f MiB (%.2fx the attachment)\n",
           g_bestSeconds, inputMiB * 1.048576 / g_bestSeconds, peakRssMiB(), peakRssMiB() / 25.0);
    if (pySeconds > 0) {
        printf("Python email package: %.3f s, peak RSS %.1f MiB\n", pySeconds, pyRss);
        printf("Speed-up over Python: %.1fx\n", pySeconds / g_bestSeconds);
    } else {
        printf("Python comparison did not run: %s\n", buf);
    }
}

}  // namespace

int main(int argc, char** argv) {
    makeInputs();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    comparePython();
    (void)!system(("rm -rf '" + g_dir + "'").c_str());
    return 0;
}
