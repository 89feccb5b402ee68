// The C++ API (ostmail::send, ostmail::Session) against CMailObj::DoMail
// and VmMailMan on the same loopback sink, the runs taking turns:
//  - one message with a 25 MiB attachment, each in a child process (time
//    and peak RSS of the whole process);
//  - 1,000 small messages, a fresh connection for each (ostmail::send vs
//    DoMail) and over one connection (Session vs a reused VmMailMan).
#include "ChildRun.h"
#include "Payload.h"
#include "SmtpSink.h"
#include "facade/VmEmail.h"
#include "facade/VmMailMan.h"
#include "ostmail/CMailObj.h"
#include "ostmail/ostmail.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace {

constexpr size_t kAttachmentBytes = 25u << 20;
constexpr int kMessages = 1000;
const char kBody[] = "Hello,\r\n\r\nThe nightly job finished without errors.\r\n\r\nRegards,\r\nThe bench\r\n";

bench::SmtpSink* g_sink = nullptr;
std::string g_self, g_attachment;

struct Figures {
    bench::Series seconds;
    double peakRssMiB = 0;
};
Figures g_largeDoMail, g_largeApi, g_manyDoMail, g_manySend, g_manyMailMan, g_manySession;

void makeAttachment() {
    char tmpl[] = "/tmp/ostmail-bench-XXXXXX";
    std::string dir = mkdtemp(tmpl) ? tmpl : "/tmp";
    g_attachment = dir + "/payload.bin";
    std::string data(kAttachmentBytes, '\0');
    uint32_t x = 2463534242u;
    bench::fillNoise(data, x);
    FILE* f = fopen(g_attachment.c_str(), "wb");
    if (f) {
        fwrite(data.data(), 1, data.size(), f);
        fclose(f);
    }
}

bool doMail(int port, const std::string& attachment) {
    CMailObj mail;
    mail.SetServer(L"127.0.0.1");
    mail.SetPortNum(port);
    mail.SetSenderAddr(L"sender@example.com");
    mail.SetRecipAddr(L"rcpt@example.com");
    mail.SetSubject(L"Bench");
    mail.SetBody(L"Hello,\r\n\r\nThe nightly job finished without errors.\r\n\r\nRegards,\r\nThe bench\r\n");
    if (!attachment.empty()) mail.SetAttachment(std::wstring(attachment.begin(), attachment.end()));
    return mail.DoMail() == 0;
}

ostmail::SmtpSettings apiServer(int port) {
    ostmail::SmtpSettings s;
    s.setHost("127.0.0.1");
    s.setPort(port);
    return s;
}

ostmail::Message apiMessage(const std::string& attachment) {
    ostmail::Message m;
    m.setFrom("sender@example.com");
    m.addTo("rcpt@example.com");
    m.setSubject("Bench");
    m.setText(kBody);
    if (!attachment.empty()) m.attachFile(attachment);
    return m;
}

bool apiSend(int port, const std::string& attachment) {
    ostmail::SendResult r = ostmail::send(apiServer(port), apiMessage(attachment));
    if (!r.ok()) fprintf(stderr, "api send failed: %s\n", r.reason().c_str());
    return r.ok();
}

// --- 25 MiB, one child per run ---
bool runLargeChild(Figures& f, const char* mode) {
    g_sink->resetCounts();
    bench::ChildResult r = bench::runChild({g_self, mode, std::to_string(g_sink->plainPort()), g_attachment});
    if (!r.ok || g_sink->messages() != 1 || g_sink->dataBytes() < kAttachmentBytes / 3 * 4) return false;
    f.seconds.add(r.seconds);
    if (r.peakRssMiB > f.peakRssMiB) f.peakRssMiB = r.peakRssMiB;
    return true;
}

void BM_Large25MiB(benchmark::State& state) {
    for (auto _ : state) {
        if (!runLargeChild(g_largeDoMail, "--domail") || !runLargeChild(g_largeApi, "--api")) {
            state.SkipWithError("a large send failed");
            return;
        }
        state.SetIterationTime(g_largeApi.seconds.last());
    }
}

// --- 1,000 messages in this process ---
bool timed(Figures& f, const std::function<bool()>& run) {
    g_sink->resetCounts();
    auto t0 = std::chrono::steady_clock::now();
    bool ok = run() && g_sink->messages() == kMessages;
    if (ok) f.seconds.add(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    return ok;
}

bool manyDoMail() {
    for (int i = 0; i < kMessages; ++i)
        if (!doMail(g_sink->plainPort(), "")) return false;
    return true;
}

bool manySend() {
    for (int i = 0; i < kMessages; ++i)
        if (!apiSend(g_sink->plainPort(), "")) return false;
    return true;
}

bool manyMailMan() {
    ostmail::VmMailMan mailman;
    mailman.put_SmtpHost("127.0.0.1");
    mailman.put_SmtpPort(g_sink->plainPort());
    for (int i = 0; i < kMessages; ++i) {
        ostmail::VmEmail email;
        email.put_Subject("Bench");
        email.put_FromAddress("sender@example.com");
        email.AddTo("", "rcpt@example.com");
        email.put_Body(kBody);
        if (!mailman.SendEmail(email)) return false;
    }
    return true;
}

bool manySession() {
    ostmail::Session session(apiServer(g_sink->plainPort()));
    for (int i = 0; i < kMessages; ++i)
        if (!session.send(apiMessage("")).ok()) return false;
    return true;
}

void BM_Many1000(benchmark::State& state) {
    for (auto _ : state) {
        if (!timed(g_manyDoMail, manyDoMail) || !timed(g_manySend, manySend) ||
            !timed(g_manyMailMan, manyMailMan) || !timed(g_manySession, manySession)) {
            state.SkipWithError("a run of 1000 failed");
            return;
        }
        state.SetIterationTime(g_manySession.seconds.last());
    }
}

BENCHMARK(BM_Large25MiB)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(5);
BENCHMARK(BM_Many1000)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(5);

void pair(const char* what, const Figures& ours, const Figures& base, const char* baseName) {
    if (ours.seconds.empty() || base.seconds.empty()) {
        printf("  %s: did not run\n", what);
        return;
    }
    double ratio = ours.seconds.best() / base.seconds.best();
    printf("  %s: API best %.3f s (median %.3f), %s best %.3f s (median %.3f) -> %.2fx (target <= 1.00x + noise): %s\n",
           what, ours.seconds.best(), ours.seconds.median(), baseName, base.seconds.best(), base.seconds.median(),
           ratio, ratio <= 1.05 ? "met" : "MISSED");
}

void summary() {
    printf("\nC++ API beside CMailObj/VmMailMan, runs taking turns:\n");
    pair("25 MiB attachment, whole process", g_largeApi, g_largeDoMail, "DoMail");
    if (!g_largeApi.seconds.empty())
        printf("  peak RSS: API %.1f MiB, DoMail %.1f MiB\n", g_largeApi.peakRssMiB, g_largeDoMail.peakRssMiB);
    pair("1000 messages, a connection each (send vs DoMail)", g_manySend, g_manyDoMail, "DoMail");
    pair("1000 messages, one connection (Session vs VmMailMan)", g_manySession, g_manyMailMan, "VmMailMan");
}

}  // namespace

int main(int argc, char** argv) {
    g_self = argv[0];
    if (argc == 4 && std::string(argv[1]) == "--domail") return doMail(std::atoi(argv[2]), argv[3]) ? 0 : 1;
    if (argc == 4 && std::string(argv[1]) == "--api") return apiSend(std::atoi(argv[2]), argv[3]) ? 0 : 1;
    bench::SmtpSink sink;
    if (!sink.ok()) {
        fprintf(stderr, "cannot start the sink\n");
        return 1;
    }
    g_sink = &sink;
    makeAttachment();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    summary();
    std::remove(g_attachment.c_str());
    return 0;
}
