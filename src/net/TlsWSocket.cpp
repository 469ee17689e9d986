// TCustomTlsWSocket: TLS over memory buffers between the SOCKS layer and
// line mode.
//
// Ciphertext moves between the socket and OpenSSL's memory buffers in the
// handlers of the socket's readiness messages; OpenSSL itself never touches
// the socket and never blocks. While the handshake runs, the layers above
// see nothing of the connection: its readiness messages are taken here.
#include "net/WSocket.h"

#include "net/OpenSsl.h"

#include "codec/ServerText.h"
#include "platform/Window.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>

using namespace WSock;

namespace {

// OpenSSL's functions, once a session start has loaded the library.
const TOpenSsl& Lib() { return *LoadOpenSsl(); }

// Most ciphertext moved in one step (one TLS record and some).
constexpr int kCipherChunk = 17 * 1024;

// TLS 1.2 key exchanges and ciphers offered: forward-secret (ephemeral
// elliptic-curve or finite-field Diffie-Hellman) with AEAD ciphers only.
// TLS 1.3's own suites are all such.
constexpr const char* kTls12Ciphers = "ECDHE+AESGCM:ECDHE+CHACHA20:DHE+AESGCM:DHE+CHACHA20:!aNULL:!PSK";

// A name check takes the host from the certificate's subjectAltName alone
// (the subject's CN never names a host) and a wildcard only as a whole
// left-most label ("*.example.test", never "f*.example.test").
constexpr unsigned kHostFlags = X509_CHECK_FLAG_NEVER_CHECK_SUBJECT | X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS;

enum TTlsState { tsPendingStart, tsHandshaking, tsEstablished, tsFailed };

std::string Hex(const unsigned char* p, unsigned n) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned i = 0; i < n; ++i) {
        out += digits[p[i] >> 4];
        out += digits[p[i] & 15];
    }
    return out;
}

std::string NameText(const X509_NAME* name) {
    BIO* bio = Lib().BIO_new(Lib().BIO_s_mem());
    if (!bio) return "";
    Lib().X509_NAME_print_ex(bio, name, 0, XN_FLAG_ONELINE & ~ASN1_STRFLGS_ESC_MSB);
    char* data = nullptr;
    long len = Lib().BIO_ctrl(bio, BIO_CTRL_INFO, 0, &data);
    std::string text(data ? data : "", data ? static_cast<size_t>(len) : 0);
    Lib().BIO_free(bio);
    // Whatever the certificate's maker wrote: cleaned where it enters.
    return CleanServerText(text);
}

std::string TimeText(const ASN1_TIME* t) {
    std::tm tm{};
    if (!t || Lib().ASN1_TIME_to_tm(t, &tm) != 1) return "";
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S UTC", &tm);
    return buf;
}

// The text of a certificate check that failed.
std::string VerifyFailureText(long result) {
    if (result == X509_V_ERR_HOSTNAME_MISMATCH || result == X509_V_ERR_IP_ADDRESS_MISMATCH)
        return "TLS: certificate is for another host";
    return std::string("TLS: certificate verify failed: ") + Lib().X509_verify_cert_error_string(result);
}

// A client context for TLS 1.2 or newer that checks the peer's certificate
// as `verifyMode` says.
SSL_CTX* NewClientContext(int verifyMode) {
    SSL_CTX* ctx = Lib().SSL_CTX_new(Lib().TLS_client_method());
    if (!ctx) return nullptr;
    Lib().SSL_CTX_ctrl(ctx, SSL_CTRL_SET_MIN_PROTO_VERSION, TLS1_2_VERSION, nullptr);
    if (Lib().SSL_CTX_set_cipher_list(ctx, kTls12Ciphers) != 1) {
        Lib().SSL_CTX_free(ctx);
        return nullptr;
    }
    // A server cannot start a second handshake (and its traffic) on a session.
    Lib().SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION);
    Lib().SSL_CTX_set_verify(ctx, verifyMode, nullptr);
    return ctx;
}

// The client context connections share: the system's trust store (loaded
// once; again when SSL_CERT_FILE or SSL_CERT_DIR change), the peer's
// certificate checked.
SSL_CTX* SharedContext() {
    static SSL_CTX* ctx = nullptr;
    static std::string loadedFile, loadedDir;
    const char* file = std::getenv("SSL_CERT_FILE");
    const char* dir = std::getenv("SSL_CERT_DIR");
    std::string f = file ? file : "", d = dir ? dir : "";
    if (ctx && f == loadedFile && d == loadedDir) return ctx;
    if (ctx) Lib().SSL_CTX_free(ctx);  // connections still using it hold their own reference
    ctx = NewClientContext(SSL_VERIFY_PEER);
    if (!ctx) return nullptr;
    Lib().SSL_CTX_set_default_verify_paths(ctx);
    loadedFile = f;
    loadedDir = d;
    return ctx;
}

// The context of connections whose certificate is pinned by its
// fingerprint: no trust store, since no chain is checked. Searching the
// system store for issuers reads its whole folder once or twice per
// handshake, which was most of a pinned check's work.
SSL_CTX* PinnedContext() {
    static SSL_CTX* ctx = nullptr;
    if (!ctx) ctx = NewClientContext(SSL_VERIFY_NONE);
    return ctx;
}

}  // namespace

bool NormalizeTlsFingerprint(const std::string& Text, std::string& Normalized) {
    std::string out;
    for (char c : Text) {
        if (c == ':') continue;
        if (c >= '0' && c <= '9')
            out += c;
        else if ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))
            out += static_cast<char>(c | 0x20);
        else
            return false;
    }
    if (out.size() != 64) return false;
    Normalized = out;
    return true;
}

struct TTlsSession {
    SSL* Ssl = nullptr;
    BIO* In = nullptr;   // ciphertext from the server (owned by Ssl)
    BIO* Out = nullptr;  // ciphertext to the server (owned by Ssl)
    TTlsState State = tsPendingStart;
    bool Implicit = false;     // the end is reported as the session's connect
    bool PeerEof = false;      // the server closed (TCP or close_notify)
    bool ClosePosted = false;  // the server's close was posted to the window
    bool EarlyData = false;    // data was offered while the start was pending
    std::string Plain;         // decrypted, not yet handed out from PlainPos
    size_t PlainPos = 0;
    std::string PendingSend;   // plaintext sent while the handshake ran
    unsigned long long HandedOut = 0;  // plaintext bytes the layer above took
    bool TookBefore = false;   // it took some in the previous read notification

    ~TTlsSession() {
        if (Ssl) Lib().SSL_free(Ssl);
    }
    size_t PlainLeft() const { return Plain.size() - PlainPos; }
    // Received and not yet taken: ciphertext waiting in the engine's input
    // plus plaintext.
    size_t Held() const { return (In ? Lib().BIO_ctrl_pending(In) : 0) + PlainLeft(); }
};

// ---------------------------------------------------------------------------

TCustomTlsWSocket::TCustomTlsWSocket(TComponent* AOwner) : TCustomSocksWSocket(AOwner) {}

TCustomTlsWSocket::~TCustomTlsWSocket() = default;

void TCustomTlsWSocket::SetTlsMode(TTlsMode Value) {
    if (FState != wsClosed) {
        RaiseError("Cannot change TlsMode if not closed");
        return;
    }
    FTlsMode = Value;
}

void TCustomTlsWSocket::SetTlsHost(const std::string& Value) { FTlsHost = Value; }

void TCustomTlsWSocket::SetTlsFingerprint(const std::string& Value) {
    if (Value.empty()) {
        FTlsFingerprint.clear();
        return;
    }
    std::string normalized;
    if (!NormalizeTlsFingerprint(Value, normalized)) {
        RaiseError("TLS: the certificate fingerprint must be 64 hexadecimal digits");
        return;
    }
    FTlsFingerprint = normalized;
}

bool TCustomTlsWSocket::TlsActive() const { return FTls && FTls->State != tsFailed; }

bool TCustomTlsWSocket::TlsEstablished() const { return FTls && FTls->State == tsEstablished; }

std::string TCustomTlsWSocket::TlsVersion() const {
    if (!FTls || !FTls->Ssl || FTls->State != tsEstablished) return "";
    return Lib().SSL_get_version(FTls->Ssl);
}

std::size_t TCustomTlsWSocket::TlsBufferedBytes() const { return FTls ? FTls->Held() : 0; }

void TCustomTlsWSocket::ResetDefaults() {
    TCustomSocksWSocket::ResetDefaults();
    ReleaseSession();
}

void TCustomTlsWSocket::ReleaseSession() { FTls.reset(); }

// --- starting ----------------------------------------------------------------

void TCustomTlsWSocket::NotifySessionConnected(WORD Error) {
    if (Error == 0 && FTlsMode == tlsImplicit && !SocksInProgress() && FType == SOCK_STREAM &&
        (!FTls || (FTls->Implicit && FTls->State == tsPendingStart))) {
        if (!FTls) FTls = std::make_unique<TTlsSession>();
        FTls->Implicit = true;
        BeginHandshake();
        return;
    }
    TCustomSocksWSocket::NotifySessionConnected(Error);
}

void TCustomTlsWSocket::StartTls() {
    if (FState != wsConnected || SocksInProgress()) {
        RaiseError("StartTls: not connected");
        return;
    }
    if (FTls) {
        RaiseError("StartTls: TLS already started");
        return;
    }
    FTlsErrorText.clear();
    FTlsCertInfo = TTlsCertInfo{};
    FTls = std::make_unique<TTlsSession>();
    // The check for bytes received too early waits until the handler that
    // called this has returned and the layers above have dropped the line it
    // read (the reply that allowed the start).
    PostMessageA(FWindowHandle, WM_TLS_START, 0, 0);
}

void TCustomTlsWSocket::BeginHandshake() {
    FTlsErrorText.clear();
    FTlsCertInfo = TTlsCertInfo{};
    std::string why;
    if (!LoadOpenSsl(&why)) {
        FailTls("TLS: cannot load the TLS library: " + why);
        return;
    }
    const bool pinned = !FTlsFingerprint.empty();
    SSL_CTX* ctx = pinned ? PinnedContext() : SharedContext();
    SSL* ssl = ctx ? Lib().SSL_new(ctx) : nullptr;
    BIO* in = Lib().BIO_new(Lib().BIO_s_mem());
    BIO* out = Lib().BIO_new(Lib().BIO_s_mem());
    if (!ssl || !in || !out) {
        if (ssl) Lib().SSL_free(ssl);
        Lib().BIO_free(in);
        Lib().BIO_free(out);
        FailTls("TLS: cannot set up the TLS library");
        return;
    }
    Lib().BIO_ctrl(in, BIO_C_SET_BUF_MEM_EOF_RETURN, -1, nullptr);
    Lib().SSL_set_bio(ssl, in, out);
    FTls->Ssl = ssl;
    FTls->In = in;
    FTls->Out = out;
    FTls->State = tsHandshaking;
    Lib().SSL_set_connect_state(ssl);
    if (!TlsVerify) Lib().SSL_set_verify(ssl, SSL_VERIFY_NONE, nullptr);  // a pinned context checks nothing anyway
    const std::string host = FTlsHost.empty() ? FAddrStr : FTlsHost;
    Lib().X509_VERIFY_PARAM_set_hostflags(Lib().SSL_get0_param(ssl), kHostFlags);
    // An address literal (IPv4, or IPv6 with or without brackets) is checked
    // against the certificate's IP addresses and is never sent as SNI.
    TSocketAddress literal;
    if (ParseAddressLiteral(host, literal)) {
        Lib().X509_VERIFY_PARAM_set1_ip_asc(Lib().SSL_get0_param(ssl), literal.Text().c_str());
    } else {
        Lib().SSL_ctrl(ssl, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name, const_cast<char*>(host.c_str()));
        Lib().SSL_set1_host(ssl, host.c_str());
    }
    ContinueHandshake(false);
}

void TCustomTlsWSocket::ContinueHandshake(bool PeerClosed) {
    // What is read waits in the engine's input, bounded like everything
    // received; while the bound stopped the reading and the handshake takes
    // records from the input, reading goes on. A server whose handshake
    // never ends (or whose records the engine never takes) meets the bound
    // and the wait's time-out, not unlimited memory.
    int rc = 0;
    int err = SSL_ERROR_NONE;
    for (int round = 0;; ++round) {
        const bool full = PumpCipherIn();
        if (!FTls) return;
        const size_t before = Lib().BIO_ctrl_pending(FTls->In);
        Lib().ERR_clear_error();
        rc = Lib().SSL_do_handshake(FTls->Ssl);
        err = rc == 1 ? SSL_ERROR_NONE : Lib().SSL_get_error(FTls->Ssl, rc);
        FlushOut();
        if (!FTls || FTls->State != tsHandshaking) return;
        if (rc == 1 || err != SSL_ERROR_WANT_READ || !full || Lib().BIO_ctrl_pending(FTls->In) >= before) break;
        if (round == 64) {
            // Enough for one message: the rest is read on the next one.
            PostMessageA(FWindowHandle, WM_ASYNCSELECT, static_cast<WPARAM>(FHSocket), FD_READ);
            return;
        }
    }
    if (rc == 1) {
        if (!CheckCertificate()) return;
        FTls->State = tsEstablished;
        if (!FTls->PendingSend.empty()) {
            std::string pending;
            pending.swap(FTls->PendingSend);
            Send(pending.data(), static_cast<int>(pending.size()));
            if (!FTls) return;
        }
        // Records that came with the end of the handshake are read once the
        // layers above know of the session.
        if (Lib().BIO_ctrl_pending(FTls->In) > 0 || FTls->PeerEof)
            PostMessageA(FWindowHandle, WM_ASYNCSELECT, static_cast<WPARAM>(FHSocket), FD_READ);
        if (FTls->Implicit)
            TCustomSocksWSocket::NotifySessionConnected(0);
        else
            NotifyTlsDone(0);
        return;
    }
    if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) {
        if (PeerClosed || FTls->PeerEof) FailTls("TLS: connection closed during handshake");
        return;
    }
    long verify = Lib().SSL_get_verify_result(FTls->Ssl);
    if (verify != X509_V_OK && FTlsFingerprint.empty() && TlsVerify) {
        FailTls(VerifyFailureText(verify));
        return;
    }
    unsigned long e = Lib().ERR_peek_error();
    if (e != 0) {
        const char* reason = Lib().ERR_reason_error_string(e);
        FailTls(std::string("TLS: ") + (reason ? reason : "handshake failed"));
    } else if (FTls->PeerEof || PeerClosed) {
        FailTls("TLS: connection closed during handshake");
    } else {
        FailTls("TLS: handshake failed");
    }
    Lib().ERR_clear_error();
}

bool TCustomTlsWSocket::CheckCertificate() {
    X509* cert = Lib().SSL_get0_peer_certificate(FTls->Ssl);
    if (!cert) {
        FailTls("TLS: the server sent no certificate");
        return false;
    }
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned len = 0;
    if (Lib().X509_digest(cert, Lib().EVP_sha256(), md, &len) != 1) {
        FailTls("TLS: cannot compute the certificate fingerprint");
        return false;
    }
    long verify = Lib().SSL_get_verify_result(FTls->Ssl);
    FTlsCertInfo.Sha256 = Hex(md, len);
    FTlsCertInfo.Subject = NameText(Lib().X509_get_subject_name(cert));
    FTlsCertInfo.Issuer = NameText(Lib().X509_get_issuer_name(cert));
    FTlsCertInfo.NotBefore = TimeText(Lib().X509_get0_notBefore(cert));
    FTlsCertInfo.NotAfter = TimeText(Lib().X509_get0_notAfter(cert));
    if (!FTlsFingerprint.empty()) {
        // Accepted by the pin alone: no store was asked (Trusted stays false).
        std::string seen;
        NormalizeTlsFingerprint(FTlsCertInfo.Sha256, seen);
        if (seen != FTlsFingerprint) {
            FailTls("TLS: fingerprint mismatch");
            return false;
        }
        return true;
    }
    FTlsCertInfo.Trusted = verify == X509_V_OK;
    FTlsCertInfo.VerifyText = verify == X509_V_OK ? "" : VerifyFailureText(verify).substr(5);
    if (TlsVerify && verify != X509_V_OK) {
        FailTls(VerifyFailureText(verify));
        return false;
    }
    return true;
}

void TCustomTlsWSocket::FailTls(const std::string& Text) {
    FTlsErrorText = Text;
    if (!FTls) return;
    bool implicit = FTls->Implicit;
    FTls->State = tsFailed;
    if (implicit)
        TCustomSocksWSocket::NotifySessionConnected(WSOCKET_TLS_ERROR);
    else
        NotifyTlsDone(WSOCKET_TLS_ERROR);
    // Nothing more is read from or sent on this connection.
    if (FState != wsClosed) Abort();
}

void TCustomTlsWSocket::NotifyTlsDone(WORD Error) {
    if (OnTlsDone) OnTlsDone(this, Error);
}

// --- moving bytes --------------------------------------------------------------

bool TCustomTlsWSocket::PumpCipherIn() {
    char buf[kCipherChunk];
    while (FTls && !FTls->PeerEof) {
        const size_t held = FTls->Held();
        if (held >= kTlsReceiveLimit) return true;
        const int want = static_cast<int>(std::min(sizeof buf, kTlsReceiveLimit - held));
        int n = TCustomSocksWSocket::RecvRaw(buf, want, 0);
        if (n > 0) {
            Lib().BIO_write(FTls->In, buf, n);
            continue;
        }
        if (n == 0) {
            FTls->PeerEof = true;
            ReportPeerClose();
        }
        break;
    }
    return false;
}

void TCustomTlsWSocket::PumpIn() {
    PumpCipherIn();
    if (!FTls || FTls->State != tsEstablished) return;
    if (FTls->PlainPos > 0) {
        FTls->Plain.erase(0, FTls->PlainPos);
        FTls->PlainPos = 0;
    }
    // Decrypting only moves what is held from the input to Plain (smaller):
    // the bound holds.
    char buf[kCipherChunk];
    for (;;) {
        Lib().ERR_clear_error();
        int n = Lib().SSL_read(FTls->Ssl, buf, sizeof buf);
        if (n > 0) {
            FTls->Plain.append(buf, static_cast<size_t>(n));
            continue;
        }
        int err = Lib().SSL_get_error(FTls->Ssl, n);
        if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) break;
        if (err == SSL_ERROR_ZERO_RETURN) {
            // The server's close_notify: the session is over, whether or not
            // the TCP connection stays open.
            FTls->PeerEof = true;
            ReportPeerClose();
            break;
        }
        // A broken record or an alert: the connection cannot go on.
        unsigned long e = Lib().ERR_peek_error();
        const char* reason = e ? Lib().ERR_reason_error_string(e) : nullptr;
        FTlsErrorText = std::string("TLS: ") + (reason ? reason : "connection failed");
        Lib().ERR_clear_error();
        FTls->PeerEof = true;
        CloseLater();
        break;
    }
    FlushOut();
}

void TCustomTlsWSocket::ReportPeerClose() {
    // Reported as the socket reports a TCP close (FD_CLOSE), and so handled
    // alike: what is held is delivered first, then the layers above hear of
    // the close and the socket closes.
    if (!FTls || FTls->State != tsEstablished || FTls->ClosePosted || FHSocket == INVALID_SOCKET) return;
    FTls->ClosePosted = true;
    PostMessageA(FWindowHandle, WM_ASYNCSELECT, static_cast<WPARAM>(FHSocket), WSAMakeSelectReply(FD_CLOSE, 0));
}

void TCustomTlsWSocket::DeliverHeld() {
    // As the kernel's data is read before a TCP close is reported: passes go
    // on while the layer above takes some, and one more after one where it
    // took none (it may have worked through its own buffer first).
    int idle = 0;
    while (FTls && FTls->State == tsEstablished && FHSocket != INVALID_SOCKET && idle < 2) {
        if (FTls->PlainLeft() == 0) PumpIn();
        if (!FTls || FTls->PlainLeft() == 0 || FHSocket == INVALID_SOCKET) return;
        const unsigned long long out = FTls->HandedOut;
        DrainReceive(0, ComponentOptions | wsoNoReceiveLoop);
        idle = FTls && FTls->HandedOut != out ? 0 : idle + 1;
    }
}

void TCustomTlsWSocket::FlushOut() {
    while (FTls && FTls->Out) {
        size_t pending = Lib().BIO_ctrl_pending(FTls->Out);
        if (pending == 0) return;
        std::string data(pending, '\0');
        int n = Lib().BIO_read(FTls->Out, data.data(), static_cast<int>(pending));
        if (n <= 0) return;
        TCustomSocksWSocket::Send(data.data(), n);
    }
}

int TCustomTlsWSocket::Send(const void* Data, int Len) {
    if (!FTls && FTlsMode == tlsImplicit && FState == wsConnected && !SocksInProgress() && FType == SOCK_STREAM) {
        // Sent between the connect and the connect event (from a state
        // change handler): held for the session the connect event begins.
        FTls = std::make_unique<TTlsSession>();
        FTls->Implicit = true;
    }
    if (!FTls || FState != wsConnected) return TCustomSocksWSocket::Send(Data, Len);
    if (Len <= 0) return 0;
    switch (FTls->State) {
        case tsPendingStart:
        case tsHandshaking:
            FTls->PendingSend.append(static_cast<const char*>(Data), static_cast<size_t>(Len));
            return Len;
        case tsFailed:
            WSASetLastError(WSAENOTCONN);
            ReportSocketError("Send");
            return -1;
        case tsEstablished: break;
    }
    const char* p = static_cast<const char*>(Data);
    int left = Len;
    while (left > 0 && FTls) {
        Lib().ERR_clear_error();
        int n = Lib().SSL_write(FTls->Ssl, p, left);
        if (n <= 0) break;
        p += n;
        left -= n;
    }
    FlushOut();
    return Len;
}

int TCustomTlsWSocket::RecvRaw(void* Buffer, int BufferSize, int Flags) {
    if (!FTls) return TCustomSocksWSocket::RecvRaw(Buffer, BufferSize, Flags);
    if (FTls->State == tsEstablished && FTls->PlainLeft() == 0) PumpIn();
    if (FTls && FTls->State == tsEstablished && FTls->PlainLeft() > 0 && BufferSize > 0) {
        size_t n = std::min(static_cast<size_t>(BufferSize), FTls->PlainLeft());
        std::memcpy(Buffer, FTls->Plain.data() + FTls->PlainPos, n);
        FTls->PlainPos += n;
        FTls->HandedOut += n;
        return static_cast<int>(n);
    }
    if (FTls && FTls->State == tsEstablished && FTls->PeerEof) return 0;
    WSASetLastError(WSAEWOULDBLOCK);
    return -1;
}

int TCustomTlsWSocket::RcvdCount() {
    if (!FTls) return TCustomSocksWSocket::RcvdCount();
    if (FTls->State != tsEstablished) return 0;
    if (FTls->PlainLeft() == 0) PumpIn();
    return FTls ? static_cast<int>(FTls->PlainLeft()) : 0;
}

bool TCustomTlsWSocket::NotifyDataAvailable(WORD Error) {
    // Nothing reaches the layers above before the handshake has passed. A
    // line delivered while a start is pending came after the reply that
    // allowed the start: the start fails on it.
    if (FTls && FTls->State != tsEstablished) {
        if (FTls->State == tsPendingStart) FTls->EarlyData = true;
        return true;
    }
    return TCustomSocksWSocket::NotifyDataAvailable(Error);
}

bool TCustomTlsWSocket::NegotiationInProgress() const {
    return TCustomSocksWSocket::NegotiationInProgress() || (FTls && FTls->State != tsEstablished);
}

void TCustomTlsWSocket::NotifyDataSent(WORD Error) {
    if (FTls && FTls->State != tsEstablished) return;
    TCustomSocksWSocket::NotifyDataSent(Error);
}

// --- messages ------------------------------------------------------------------

void TCustomTlsWSocket::WindowProcedure(TMessage& Msg) {
    if (Msg.Msg == WM_TLS_START) {
        if (!FTls || FTls->State != tsPendingStart) return;
        WSock::u_long waiting = 0;
        if (FHSocket == INVALID_SOCKET || ioctlsocket(FHSocket, FIONREAD, &waiting) == SOCKET_ERROR) {
            FailTls("TLS: connection closed before the handshake");
            return;
        }
        if (waiting > 0 || HeldBytes() > 0 || SocksHeldBytes() > 0 || FTls->EarlyData) {
            FailTls("TLS: data received before the handshake (plaintext injection)");
            return;
        }
        BeginHandshake();
        return;
    }
    if (Msg.Msg != WM_ASYNCSELECT || !FTls || static_cast<SOCKET>(Msg.WParam) != FHSocket || FPaused ||
        FTls->State == tsFailed) {
        TCustomSocksWSocket::WindowProcedure(Msg);
        return;
    }
    const WORD events = WSAGETSELECTEVENT(Msg.LParam);
    if (FTls->State != tsEstablished) {
        // The handshake's own traffic; a start still pending reads nothing
        // (what waits then is checked by the start).
        if (events & FD_WRITE) {
            TMessage write = Msg;
            write.LParam = FD_WRITE;
            TCustomSocksWSocket::WindowProcedure(write);
            if (!FTls) return;
        }
        if (FTls->State == tsHandshaking && (events & (FD_READ | FD_CLOSE)))
            ContinueHandshake((events & FD_CLOSE) != 0);
        else if (FTls->State == tsPendingStart && (events & FD_CLOSE))
            FailTls("TLS: connection closed before the handshake");
        return;
    }
    // A close (the socket's or the server's close_notify) comes after what
    // is held.
    if (events & FD_CLOSE) DeliverHeld();
    if (!FTls || FTls->State != tsEstablished) {
        TCustomSocksWSocket::WindowProcedure(Msg);
        return;
    }
    const unsigned long long out = FTls->HandedOut;
    TCustomSocksWSocket::WindowProcedure(Msg);
    if (!(events & FD_READ) || !FTls || FTls->State != tsEstablished || FHSocket == INVALID_SOCKET) return;
    // The socket signals nothing for what this layer holds, so the read is
    // signalled again while the layer above wants more: after a
    // notification in which it took some, and once more after that even if
    // it took none (a reader may first work through what it holds itself,
    // as the POP3 engine cuts an overlong line without reading). A reader
    // that takes nothing is not called again until the socket has news.
    const bool took = FTls->HandedOut != out;
    const bool again = took || FTls->TookBefore;
    FTls->TookBefore = took;
    if (!again) return;
    // What the socket holds beyond what was read (the bound may have
    // stopped the reading) is fetched now, within the bound.
    if (FTls->PlainLeft() == 0) PumpIn();
    if (FTls && FTls->State == tsEstablished && FTls->PlainLeft() > 0 && FHSocket != INVALID_SOCKET)
        PostMessageA(FWindowHandle, WM_ASYNCSELECT, static_cast<WPARAM>(FHSocket), FD_READ);
}

void TCustomTlsWSocket::DoClose(bool bShut, WORD Error) {
    // An orderly end of an established session tells the server so
    // (close_notify), when nothing else is still waiting to be sent.
    if (bShut && FTls && FTls->State == tsEstablished && FHSocket != INVALID_SOCKET && FState == wsConnected &&
        AllSent() && !FTls->PeerEof) {
        Lib().ERR_clear_error();
        Lib().SSL_shutdown(FTls->Ssl);
        size_t pending = Lib().BIO_ctrl_pending(FTls->Out);
        if (pending > 0) {
            std::string data(pending, '\0');
            int n = Lib().BIO_read(FTls->Out, data.data(), static_cast<int>(pending));
            if (n > 0) TCustomWSocket::SendChunk(data.data(), n);
        }
    }
    TCustomSocksWSocket::DoClose(bShut, Error);
}
