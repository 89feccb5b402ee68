#pragma once
// A loopback SMTP sink for the send benchmarks: answers every command at
// once, reads DATA in large blocks and only counts what arrives. One plain
// listener and, when given a TLS context, one implicit-TLS listener; each
// connection is served by its own thread.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cctype>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace bench {

class SmtpSink {
public:
    // tls may be null: plain listener only. The sink keeps a reference.
    explicit SmtpSink(SSL_CTX* tls = nullptr) : m_tls(tls) {
        if (tls) SSL_CTX_up_ref(tls);
        m_plainFd = listenLoopback(m_plainPort);
        if (tls) m_tlsFd = listenLoopback(m_tlsPort);
        m_acceptor = std::thread([this] { acceptLoop(); });
    }

    ~SmtpSink() {
        m_stop = true;
        {
            std::lock_guard<std::mutex> lock(m_mu);
            for (int fd : m_open) ::shutdown(fd, SHUT_RDWR);
        }
        m_acceptor.join();
        for (std::thread& t : m_workers) t.join();
        if (m_tls) SSL_CTX_free(m_tls);
    }

    SmtpSink(const SmtpSink&) = delete;
    SmtpSink& operator=(const SmtpSink&) = delete;

    int plainPort() const { return m_plainPort; }
    int tlsPort() const { return m_tlsPort; }
    bool ok() const { return m_plainFd >= 0 && (!m_tls || m_tlsFd >= 0); }
    // Message bytes taken after DATA (dot-stuffed form, end marker excluded).
    uint64_t dataBytes() const { return m_dataBytes; }
    uint64_t messages() const { return m_messages; }
    // Acknowledge every read at once instead of delaying ACKs as a normal
    // server does; shows what a client loses to Nagle's algorithm.
    void setQuickAck(bool on) { m_quickAck = on; }
    void resetCounts() {
        m_dataBytes = 0;
        m_messages = 0;
    }

private:
    static constexpr size_t kBlock = 1u << 20;

    // A connection, plain or TLS; reads and writes hide the difference.
    struct Conn {
        int fd = -1;
        SSL* ssl = nullptr;
        const std::atomic<bool>* quickAck = nullptr;
        ssize_t read(char* buf, size_t n) {
            if (*quickAck) {
                int one = 1;
                ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
            }
            if (!ssl) return ::recv(fd, buf, n, 0);
            int got = SSL_read(ssl, buf, static_cast<int>(n));
            return got > 0 ? got : -1;
        }
        bool write(const std::string& s) {
            if (ssl) return SSL_write(ssl, s.data(), static_cast<int>(s.size())) == static_cast<int>(s.size());
            for (size_t off = 0; off < s.size();) {
                ssize_t n = ::send(fd, s.data() + off, s.size() - off, MSG_NOSIGNAL);
                if (n <= 0) return false;
                off += static_cast<size_t>(n);
            }
            return true;
        }
    };

    static int listenLoopback(int& port) {
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        if (fd < 0) return -1;
        int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof sa;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd, 16) != 0 ||
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
            ::close(fd);
            return -1;
        }
        port = ntohs(sa.sin_port);
        return fd;
    }

    void acceptLoop() {
        pollfd pfd[2] = {{m_plainFd, POLLIN, 0}, {m_tlsFd, POLLIN, 0}};
        while (!m_stop) {
            if (::poll(pfd, m_tlsFd >= 0 ? 2 : 1, 100) <= 0) continue;
            for (int i = 0; i < 2; ++i) {
                if (pfd[i].fd < 0 || !(pfd[i].revents & POLLIN)) continue;
                int fd = ::accept(pfd[i].fd, nullptr, nullptr);
                if (fd < 0) continue;
                {
                    std::lock_guard<std::mutex> lock(m_mu);
                    m_open.push_back(fd);
                }
                bool tls = i == 1;
                m_workers.emplace_back([this, fd, tls] { serve(fd, tls); });
            }
        }
        ::close(m_plainFd);
        if (m_tlsFd >= 0) ::close(m_tlsFd);
    }

    void serve(int fd, bool tls) {
        int one = 1;
        // Replies are small and often several in a row: never wait for ACKs.
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        Conn c;
        c.fd = fd;
        c.quickAck = &m_quickAck;
        if (tls) {
            c.ssl = SSL_new(m_tls);
            SSL_set_fd(c.ssl, fd);
            SSL_set_read_ahead(c.ssl, 1);  // one recv for many records
            if (SSL_accept(c.ssl) == 1) session(c);
            SSL_shutdown(c.ssl);
            SSL_free(c.ssl);
        } else {
            session(c);
        }
        {
            std::lock_guard<std::mutex> lock(m_mu);
            for (int& o : m_open)
                if (o == fd) o = -1;
        }
        ::close(fd);
    }

    // Commands are answered in batches: every complete line in the buffer
    // first, then one write, so a pipelining client costs one round trip.
    void session(Conn& c) {
        std::vector<char> buf(kBlock);
        size_t pos = 0, have = 0;
        std::string out = "220 sink ESMTP ready\r\n";
        for (;;) {
            const char* start = buf.data() + pos;
            const char* nl = static_cast<const char*>(memchr(start, '\n', have - pos));
            if (!nl) {
                if (!out.empty() && !c.write(out)) return;
                out.clear();
                memmove(buf.data(), start, have - pos);
                have -= pos;
                pos = 0;
                if (have == buf.size()) return;  // a line longer than a block
                ssize_t n = c.read(buf.data() + have, buf.size() - have);
                if (n <= 0) return;
                have += static_cast<size_t>(n);
                continue;
            }
            std::string verb = commandVerb(start, nl);
            pos = static_cast<size_t>(nl - buf.data()) + 1;
            if (verb == "QUIT") {
                c.write(out + "221 bye\r\n");
                return;
            }
            if (verb == "DATA") {
                if (!c.write(out + "354 go ahead\r\n")) return;
                out.clear();
                if (!takeData(c, buf, pos, have)) return;
                out = "250 queued\r\n";
            } else {
                out += reply(verb);
            }
        }
    }

    static std::string commandVerb(const char* b, const char* e) {
        std::string v;
        for (; b < e && v.size() < 4 && isalpha(static_cast<unsigned char>(*b)); ++b)
            v += static_cast<char>(toupper(static_cast<unsigned char>(*b)));
        return v;
    }

    static const char* reply(const std::string& verb) {
        if (verb == "EHLO") return "250-sink\r\n250-PIPELINING\r\n250-8BITMIME\r\n250 SIZE 1073741824\r\n";
        if (verb == "HELO" || verb == "MAIL" || verb == "RCPT" || verb == "RSET" || verb == "NOOP")
            return "250 ok\r\n";
        return "502 not here\r\n";
    }

    // Consumes the message up to "\r\n.\r\n" (the CRLF of the DATA line
    // counts as the first one, so an empty message ends at ".\r\n").
    // Leaves pos/have on what follows the end marker.
    bool takeData(Conn& c, std::vector<char>& buf, size_t& pos, size_t& have) {
        static const char kEnd[] = "\r\n.\r\n";
        char tail[4] = {'\0', '\0', '\r', '\n'};  // last 4 bytes seen
        uint64_t count = 0;
        for (;;) {
            const char* block = buf.data() + pos;
            size_t n = have - pos;
            // Marker across the previous block's end.
            char seam[8];
            size_t head = n < 4 ? n : 4;
            memcpy(seam, tail, 4);
            memcpy(seam + 4, block, head);
            const char* hit = static_cast<const char*>(memmem(seam, 4 + head, kEnd, 5));
            size_t endAt = 0;  // offset in block just past the marker
            if (hit) {
                endAt = static_cast<size_t>(hit - seam) + 1;
            } else if (const char* h = static_cast<const char*>(memmem(block, n, kEnd, 5))) {
                endAt = static_cast<size_t>(h - block) + 5;
            }
            if (endAt > 0) {
                count += endAt >= 3 ? endAt - 3 : 0;
                m_dataBytes += count;
                ++m_messages;
                pos += endAt;
                return true;
            }
            count += n;
            if (n >= 4) {
                memcpy(tail, block + n - 4, 4);
            } else {
                memmove(tail, tail + n, 4 - n);
                memcpy(tail + 4 - n, block, n);
            }
            pos = have = 0;
            ssize_t got = c.read(buf.data(), buf.size());
            if (got <= 0) return false;
            have = static_cast<size_t>(got);
        }
    }

    SSL_CTX* m_tls;
    int m_plainFd = -1, m_tlsFd = -1;
    int m_plainPort = 0, m_tlsPort = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_quickAck{false};
    std::atomic<uint64_t> m_dataBytes{0}, m_messages{0};
    std::mutex m_mu;
    std::vector<int> m_open;
    std::vector<std::thread> m_workers;
    std::thread m_acceptor;
};

// A server context with a fresh self-signed P-256 certificate for
// 127.0.0.1 and localhost; its PEM goes to certPath so that clients can
// trust it. Null on failure. The caller frees the context.
inline SSL_CTX* makeSinkTlsContext(const std::string& certPath) {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* cert = X509_new();
    SSL_CTX* ctx = nullptr;
    if (key && cert) {
        ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
        X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
        X509_gmtime_adj(X509_getm_notAfter(cert), 30L * 24 * 3600);
        X509_set_pubkey(cert, key);
        X509_NAME* name = X509_get_subject_name(cert);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("127.0.0.1"), -1,
                                   -1, 0);
        X509_set_issuer_name(cert, name);
        X509V3_CTX v3;
        X509V3_set_ctx_nodb(&v3);
        X509V3_set_ctx(&v3, cert, cert, nullptr, nullptr, 0);
        const char* exts[][2] = {{"subjectAltName", "IP:127.0.0.1,DNS:localhost"},
                                 {"basicConstraints", "critical,CA:TRUE"},
                                 {"keyUsage", "critical,digitalSignature,keyCertSign"},
                                 {"extendedKeyUsage", "serverAuth"}};
        for (auto& e : exts) {
            X509_EXTENSION* x = X509V3_EXT_conf(nullptr, &v3, e[0], e[1]);
            if (x) X509_add_ext(cert, x, -1);
            X509_EXTENSION_free(x);
        }
        X509_sign(cert, key, EVP_sha256());
        FILE* f = fopen(certPath.c_str(), "w");
        if (f) {
            PEM_write_X509(f, cert);
            fclose(f);
        }
        ctx = SSL_CTX_new(TLS_server_method());
        if (ctx && (SSL_CTX_use_certificate(ctx, cert) != 1 || SSL_CTX_use_PrivateKey(ctx, key) != 1)) {
            SSL_CTX_free(ctx);
            ctx = nullptr;
        }
    }
    X509_free(cert);
    EVP_PKEY_free(key);
    return ctx;
}

}  // namespace bench
