// What DKIM signing adds to the send of one message with a 25 MiB
// attachment: DoMail's path (the manager's SendEmail) to a loopback sink,
// unsigned, with an RSA-2048 signature and with RSA + Ed25519, runs taking
// turns; and the signing alone over the rendered text. Target: signing adds
// at most 10 % to the send.
#include "ChildRun.h"
#include "Payload.h"
#include "SmtpSink.h"
#include "core/LogBase.h"
#include "email/DkimSigner.h"
#include "facade/VmEmail.h"
#include "facade/VmMailMan.h"
#include "platform/Clock.h"
#include "platform/SigningKey.h"
#include "smtp/ClsMailMan.h"

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr size_t kAttachmentBytes = 25u << 20;

bench::SmtpSink* g_sink = nullptr;
std::string g_dir, g_attachment, g_rsaKey, g_edKey;
bench::Series g_plain, g_rsa, g_both;        // wall seconds
bench::Series g_plainCpu, g_rsaCpu, g_bothCpu;  // CPU seconds of the sending thread

using ostmail::platform::SigningKey;

std::string makeKey(SigningKey::Type type, const char* name) {
    SigningKey key;
    std::string pem, reason, path = g_dir + "/" + name;
    if (!key.generate(type, 2048, reason) || !key.privatePem(pem) ||
        !ostmail::platform::writePrivateFile(path.c_str(), pem, reason))
        std::fprintf(stderr, "bench: %s\n", reason.c_str());
    return path;
}

void setUp() {
    char tmpl[] = "/tmp/ostmail-bench-dkim-XXXXXX";
    g_dir = mkdtemp(tmpl) ? tmpl : "/tmp";
    g_attachment = g_dir + "/payload.bin";
    std::string data(kAttachmentBytes, '\0');
    uint32_t x = 2463534242u;
    bench::fillNoise(data, x);
    FILE* f = std::fopen(g_attachment.c_str(), "wb");
    if (f) {
        std::fwrite(data.data(), 1, data.size(), f);
        std::fclose(f);
    }
    g_rsaKey = makeKey(SigningKey::Type::kRsa, "rsa.pem");
    g_edKey = makeKey(SigningKey::Type::kEd25519, "ed.pem");
}

double threadCpu() {
    rusage ru{};
    getrusage(RUSAGE_THREAD, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// One send as DoMail makes it, with the signatures asked for; wall seconds
// (0 on failure), and the sending thread's CPU seconds in cpu.
double sendOnce(int signatures, double& cpu) {
    ostmail::VmMailMan mm;
    mm.put_SmtpHost("127.0.0.1");
    mm.put_SmtpPort(g_sink->plainPort());
    if (signatures >= 1) {
        mm.put_DkimDomain("example.com");
        mm.put_DkimSelector("rsa");
        mm.put_DkimPrivateKeyFile(g_rsaKey.c_str());
    }
    if (signatures >= 2) mm.impl()->addDkimSignature("example.com", "ed", g_edKey.c_str(), {});
    ostmail::VmEmail email;
    email.put_Subject("Large attachment");
    email.put_FromName("Bench Sender");
    email.put_FromAddress("sender@example.com");
    email.AddTo("", "rcpt@example.com");
    email.put_Body("Hello,\r\n\r\nThe full data set is attached.\r\n");
    email.addFileAttachment(g_attachment.c_str());
    auto start = std::chrono::steady_clock::now();
    double cpu0 = threadCpu();
    bool ok = mm.SendEmail(email);
    cpu = threadCpu() - cpu0;
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!ok) std::fprintf(stderr, "bench: send failed\n%s", mm.lastErrorText());
    return ok ? s : 0;
}

// The three kinds take turns in each iteration, so a busy moment of the
// machine does not fall on one kind only.
void BM_SendUnsignedAndSigned(benchmark::State& state) {
    for (auto _ : state) {
        double cpu[3];
        double plain = sendOnce(0, cpu[0]), rsa = sendOnce(1, cpu[1]), both = sendOnce(2, cpu[2]);
        if (plain == 0 || rsa == 0 || both == 0) {
            state.SkipWithError("a send failed");
            return;
        }
        g_plain.add(plain);
        g_rsa.add(rsa);
        g_both.add(both);
        g_plainCpu.add(cpu[0]);
        g_rsaCpu.add(cpu[1]);
        g_bothCpu.add(cpu[2]);
        state.SetIterationTime(plain);
    }
}
BENCHMARK(BM_SendUnsignedAndSigned)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

void BM_SignRenderedText(benchmark::State& state) {
    ostmail::VmEmail email;
    email.put_FromAddress("sender@example.com");
    email.AddTo("", "rcpt@example.com");
    email.addFileAttachment(g_attachment.c_str());
    std::string text = email.getMime() ? email.getMime() : "";
    ostmail::LogNull log;
    std::vector<ostmail::DkimSigner> signers(state.range(0));
    signers[0].load("example.com", "rsa", g_rsaKey.c_str(), {}, log);
    if (signers.size() > 1) signers[1].load("example.com", "ed", g_edKey.c_str(), {}, log);
    for (auto _ : state) {
        ostmail::StringBuffer message(text.c_str());
        if (!ostmail::dkimSignAll(signers, message, log)) state.SkipWithError("signing failed");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_SignRenderedText)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

void report() {
    if (g_plain.empty()) return;
    double plain = g_plain.median();
    std::printf("\nSend of a %zu MiB attachment to a loopback sink, median of %zu runs taking turns:\n",
                kAttachmentBytes >> 20, g_plain.values.size());
    double plainCpu = g_plainCpu.median();
    std::printf("  unsigned          %.3f s, CPU %.3f s\n", plain, plainCpu);
    std::printf("  RSA-2048          %.3f s (%+.1f %%), CPU %.3f s (%+.1f %%)\n", g_rsa.median(),
                (g_rsa.median() / plain - 1) * 100, g_rsaCpu.median(), (g_rsaCpu.median() / plainCpu - 1) * 100);
    std::printf("  RSA + Ed25519     %.3f s (%+.1f %%), CPU %.3f s (%+.1f %%)\n", g_both.median(),
                (g_both.median() / plain - 1) * 100, g_bothCpu.median(), (g_bothCpu.median() / plainCpu - 1) * 100);
    std::printf("  target: signing adds at most 10 %% to the send: %s in wall time, %s in CPU time\n",
                g_both.median() <= plain * 1.10 ? "met" : "NOT met",
                g_bothCpu.median() <= plainCpu * 1.10 ? "met" : "NOT met");
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    setUp();
    bench::SmtpSink sink;
    g_sink = &sink;
    benchmark::RunSpecifiedBenchmarks();
    report();
    benchmark::Shutdown();
    std::string rm = "rm -rf '" + g_dir + "'";
    return std::system(rm.c_str()) == 0 ? 0 : 1;
}
