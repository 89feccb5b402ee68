// Record protection through the TLS provider against OpenSSL used
// directly over the same memory BIOs: what the one-record-at-a-time
// interface costs on top of the cipher.
#include "platform/TlsProvider.h"

#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <memory>
#include <vector>

using namespace ostmail::platform;

namespace {

std::shared_ptr<SSL_CTX> serverContext() {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* cert = X509_new();
    X509_set_version(cert, 2);
    X509_gmtime_adj(X509_getm_notBefore(cert), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(cert), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
    X509_set_issuer_name(cert, X509_get_subject_name(cert));
    X509_set_pubkey(cert, key);
    X509_sign(cert, key, EVP_sha256());
    std::shared_ptr<SSL_CTX> ctx(SSL_CTX_new(TLS_server_method()), SSL_CTX_free);
    SSL_CTX_use_certificate(ctx.get(), cert);
    SSL_CTX_use_PrivateKey(ctx.get(), key);
    SSL_CTX_set_num_tickets(ctx.get(), 0);
    X509_free(cert);
    EVP_PKEY_free(key);
    return ctx;
}

Bytes drain(BIO* b) {
    Bytes out(BIO_ctrl_pending(b));
    if (!out.empty()) BIO_read(b, out.data(), static_cast<int>(out.size()));
    return out;
}

// A client context of the provider joined to an OpenSSL server in memory.
struct Pair {
    TlsProvider& p = *tlsProvider();
    std::unique_ptr<TlsCredentials> cred;
    std::unique_ptr<TlsContext> ctx;
    std::shared_ptr<SSL_CTX> sctx = serverContext();
    SSL* srv = SSL_new(sctx.get());
    BIO* sin = BIO_new(BIO_s_mem());
    BIO* sout = BIO_new(BIO_s_mem());

    Pair() {
        SSL_set_bio(srv, sin, sout);
        SSL_set_accept_state(srv);
        p.AcquireCredentials({}, cred);
        TlsStepResult r;
        p.InitializeContext(*cred, ctx, "localhost", nullptr, 0, r);
        while (r.status == SEC_I_CONTINUE_NEEDED) {
            BIO_write(sin, r.output.data(), static_cast<int>(r.output.size()));
            SSL_do_handshake(srv);
            Bytes in = drain(sout);
            p.InitializeContext(*cred, ctx, "localhost", in.data(), static_cast<uint32_t>(in.size()), r);
        }
        BIO_write(sin, r.output.data(), static_cast<int>(r.output.size()));
        SSL_do_handshake(srv);
    }
    ~Pair() { SSL_free(srv); }
};

void BM_ProviderEncrypt(benchmark::State& state) {
    Pair pair;
    std::vector<unsigned char> plain(state.range(0), 'x');
    std::vector<unsigned char> sink(16384);
    for (auto _ : state) {
        Bytes rec;
        pair.p.EncryptMessage(*pair.ctx, plain.data(), static_cast<uint32_t>(plain.size()), rec);
        BIO_write(pair.sin, rec.data(), static_cast<int>(rec.size()));
        SSL_read(pair.srv, sink.data(), static_cast<int>(sink.size()));
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_ProviderDecrypt(benchmark::State& state) {
    Pair pair;
    std::vector<unsigned char> plain(state.range(0), 'x');
    for (auto _ : state) {
        SSL_write(pair.srv, plain.data(), static_cast<int>(plain.size()));
        Bytes rec = drain(pair.sout);
        TlsDecryptResult d;
        pair.p.DecryptMessage(*pair.ctx, rec.data(), static_cast<uint32_t>(rec.size()), d);
        benchmark::DoNotOptimize(d.data.data());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

// The same traffic with two OpenSSL objects and no provider in between.
void BM_OpenSslDirect(benchmark::State& state) {
    std::shared_ptr<SSL_CTX> sctx = serverContext();
    std::shared_ptr<SSL_CTX> cctx(SSL_CTX_new(TLS_client_method()), SSL_CTX_free);
    SSL* srv = SSL_new(sctx.get());
    SSL* cli = SSL_new(cctx.get());
    BIO *s2c_w, *s2c_r, *c2s_w, *c2s_r;
    BIO_new_bio_pair(&s2c_w, 0, &s2c_r, 0);
    BIO_new_bio_pair(&c2s_w, 0, &c2s_r, 0);
    SSL_set_bio(srv, c2s_r, s2c_w);
    SSL_set_bio(cli, s2c_r, c2s_w);
    SSL_set_accept_state(srv);
    SSL_set_connect_state(cli);
    for (int i = 0; i < 10 && (SSL_do_handshake(cli) != 1 || SSL_do_handshake(srv) != 1); ++i) {
    }
    std::vector<unsigned char> plain(state.range(0), 'x');
    std::vector<unsigned char> sink(16384);
    for (auto _ : state) {
        SSL_write(srv, plain.data(), static_cast<int>(plain.size()));
        SSL_read(cli, sink.data(), static_cast<int>(sink.size()));
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
    SSL_free(srv);
    SSL_free(cli);
}

}  // namespace

BENCHMARK(BM_ProviderEncrypt)->Arg(100)->Arg(16000);
BENCHMARK(BM_ProviderDecrypt)->Arg(100)->Arg(16000);
BENCHMARK(BM_OpenSslDirect)->Arg(100)->Arg(16000);
BENCHMARK_MAIN();
