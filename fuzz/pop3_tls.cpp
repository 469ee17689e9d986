// libFuzzer target: arbitrary server bytes through the TLS layer into the
// POP3 engine. Each input is one POP3S session over loopback: the engine
// connects to a TLS server that runs in this process (OpenSSL's server side
// over memory buffers, on the accepted socket; its certificate is made once
// and the engine pins it), and the server sends the input as application
// data, cut into records of fuzzed sizes. The first byte chooses the
// commands the engine sends whenever it is idle and how the server ends the
// session (close_notify with TCP left open, or a TCP close); the second the
// record sizes; the rest is what the server says.
//
// Promises checked: the TLS layer never holds more than its receive limit;
// once the engine has been given time, nothing it could read is left held
// while it is connected (no read stalls); and the server's end of the
// session always reaches the engine.
#include "framework/Application.h"
#include "net/WSocket.h"
#include "pop3/Pop3Prot.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <QCoreApplication>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzApp.h"
#include "FuzzPop3.h"
#include "FuzzCheck.h"

namespace {

// --- the server's side, made once ---------------------------------------------

SSL_CTX* g_serverCtx = nullptr;
int g_listener = -1;
int g_port = 0;
std::string g_pin;  // SHA-256 of the server certificate, hex

void MakeServer() {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    CHECK(key);
    X509* cert = X509_new();
    CHECK(cert);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), 3600L * 24 * 365);
    X509_set_pubkey(cert, key);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("vesk fuzz"), -1, -1,
                               0);
    X509_set_issuer_name(cert, name);
    CHECK(X509_sign(cert, key, EVP_sha256()) > 0);
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned len = 0;
    CHECK(X509_digest(cert, EVP_sha256(), md, &len) == 1);
    static const char digits[] = "0123456789abcdef";
    for (unsigned i = 0; i < len; ++i) {
        g_pin += digits[md[i] >> 4];
        g_pin += digits[md[i] & 15];
    }
    g_serverCtx = SSL_CTX_new(TLS_server_method());
    CHECK(g_serverCtx);
    CHECK(SSL_CTX_use_certificate(g_serverCtx, cert) == 1);
    CHECK(SSL_CTX_use_PrivateKey(g_serverCtx, key) == 1);
    // No session tickets: nothing but the input follows the handshake.
    SSL_CTX_set_num_tickets(g_serverCtx, 0);
    X509_free(cert);
    EVP_PKEY_free(key);

    g_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    CHECK(g_listener >= 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    CHECK(::bind(g_listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0);
    CHECK(::listen(g_listener, 8) == 0);
    socklen_t alen = sizeof addr;
    CHECK(::getsockname(g_listener, reinterpret_cast<sockaddr*>(&addr), &alen) == 0);
    g_port = ntohs(addr.sin_port);
}

// One connection's server: OpenSSL over memory buffers, moved to and from
// the accepted socket by Pump, never blocking.
class TlsPeer {
public:
    ~TlsPeer() {
        if (ssl_) SSL_free(ssl_);
        if (fd_ >= 0) {
            // A reset, so that no connection lingers in TIME_WAIT between runs.
            linger li{1, 0};
            ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &li, sizeof li);
            ::close(fd_);
        }
    }

    bool Accepted() const { return fd_ >= 0; }
    bool Ready() const { return ready_; }
    bool PeerGone() const { return peerGone_; }
    std::size_t Unsent() const { return out_.size(); }

    // Takes the engine's connection when it is there.
    void Accept() {
        if (fd_ >= 0) return;
        fd_ = ::accept4(g_listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd_ < 0) return;
        // Every record leaves at once (Nagle's wait would outlast the rounds).
        int on = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        ssl_ = SSL_new(g_serverCtx);
        CHECK(ssl_);
        SSL_set_bio(ssl_, BIO_new(BIO_s_mem()), BIO_new(BIO_s_mem()));
        SSL_set_accept_state(ssl_);
    }

    // Moves bytes: what the engine sent into OpenSSL (its commands are
    // read and dropped), OpenSSL's output onto the socket.
    void Pump() {
        if (fd_ < 0) return;
        char buf[16384];
        while (!peerGone_) {
            ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n > 0) {
                BIO_write(SSL_get_rbio(ssl_), buf, static_cast<int>(n));
                continue;
            }
            if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) peerGone_ = true;
            break;
        }
        ERR_clear_error();
        if (!ready_) {
            if (SSL_do_handshake(ssl_) == 1) ready_ = true;
        }
        if (ready_) {
            while (SSL_read(ssl_, buf, sizeof buf) > 0) {
            }
        }
        ERR_clear_error();
        Flush();
    }

    // One record of application data.
    void SendRecord(const std::uint8_t* data, std::size_t size) {
        if (!ready_ || size == 0) return;
        ERR_clear_error();
        SSL_write(ssl_, data, static_cast<int>(size));
        Flush();
    }

    void SendCloseNotify() {
        if (!ready_) return;
        ERR_clear_error();
        SSL_shutdown(ssl_);
        ERR_clear_error();
        Flush();
    }

    void CloseTcp() {
        if (fd_ >= 0) ::shutdown(fd_, SHUT_WR);
    }

private:
    void Flush() {
        BIO* wbio = SSL_get_wbio(ssl_);
        char buf[16384];
        int n;
        while ((n = BIO_read(wbio, buf, sizeof buf)) > 0) out_.append(buf, static_cast<std::size_t>(n));
        while (!out_.empty()) {
            ssize_t sent = ::send(fd_, out_.data(), out_.size(), MSG_NOSIGNAL);
            if (sent <= 0) break;
            out_.erase(0, static_cast<std::size_t>(sent));
        }
    }

    int fd_ = -1;
    SSL* ssl_ = nullptr;
    bool ready_ = false;
    bool peerGone_ = false;
    std::string out_;
};

// --- the engine's side ----------------------------------------------------------

class FuzzPop3Cli : public TCustomPop3Cli {
public:
    FuzzPop3Cli() {
        FWSocket->OnError = [](TObject*) {};
        SinkPop3Events(*this, sink_);
        Host = "127.0.0.1";
        Port = std::to_string(g_port);
        Security = 1;
        Fingerprint = g_pin;
        UserName = "alice";
        PassWord = "secret";
        // Half the scripts log in with an OAuth2 token (AUTH XOAUTH2).
        Auth = 1;
    }

    std::size_t Held() const { return FWSocket->TlsBufferedBytes(); }
    bool SocketOpen() const { return FWSocket->State() != wsClosed; }

    void NextCommand(unsigned& script) { NextPop3Command(*this, script); }

    std::size_t sink_ = 0;
};

// The record sizes: a small generator seeded by the input's second byte.
class RecordSizes {
public:
    explicit RecordSizes(unsigned seed) : state_(seed * 2654435761u + 1), most_(kMost[seed % 6]) {}
    std::size_t Next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return 1 + state_ % most_;
    }

private:
    static constexpr std::size_t kMost[] = {1, 7, 100, 1500, 4096, 16384};
    std::uint32_t state_;
    std::size_t most_;
};

// One round of the event loop and of the server.
void Round(TlsPeer& peer) {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    peer.Accept();
    peer.Pump();
}

// Rounds until `done` (or, should it never be, for some seconds: only a
// fault of the code under test waits that long, and the checks after the
// call then fail). Each step happens at once on loopback.
template <class Done>
void RoundsUntil(TlsPeer& peer, const Done& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!done() && std::chrono::steady_clock::now() < deadline) Round(peer);
}

// Rounds until the engine holds nothing readable in the TLS layer and the
// server has sent everything (or the rounds run out).
void Settle(TlsPeer& peer, FuzzPop3Cli& cli, int rounds) {
    int quiet = 0;
    for (int i = 0; i < rounds && quiet < 4; ++i) {
        Round(peer);
        CHECK(cli.Held() <= kTlsReceiveLimit);
        quiet = cli.Held() == 0 && peer.Unsent() == 0 ? quiet + 1 : 0;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    StartFuzzApplication();
    MakeServer();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    unsigned script = data[0];
    const bool closeNotify = (data[0] & 0x80) != 0;
    RecordSizes sizes(data[1]);
    data += 2;
    size -= 2;
    {
        TlsPeer peer;
        FuzzPop3Cli cli;
        try {
            cli.Connect();
        } catch (const Exception&) {
        }
        RoundsUntil(peer, [&] { return (peer.Ready() && cli.Connected()) || !cli.SocketOpen(); });
        CHECK(peer.Ready());
        // The input in slices of a few records, with a command sent whenever
        // the engine is idle in between.
        std::size_t pos = 0;
        while (pos < size && cli.SocketOpen() && !peer.PeerGone()) {
            for (int r = 0; r < 4 && pos < size; ++r) {
                const std::size_t n = std::min(sizes.Next(), size - pos);
                peer.SendRecord(data + pos, n);
                pos += n;
            }
            Settle(peer, cli, 200);
            // Everything sent has arrived; what the layer holds, the engine
            // was offered and took.
            CHECK(!cli.SocketOpen() || cli.Held() == 0 || peer.Unsent() > 0);
            cli.NextCommand(script);
        }
        // The server ends the session; the engine must hear of it.
        if (closeNotify)
            peer.SendCloseNotify();
        else
            peer.CloseTcp();
        RoundsUntil(peer, [&] { return !cli.SocketOpen(); });
        CHECK(!cli.SocketOpen());
        CHECK(!cli.Connected());
    }
    Application->ProcessMessages();
    return 0;
}
