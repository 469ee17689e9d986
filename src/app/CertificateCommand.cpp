#include "app/CertificateCommand.h"

#include "codec/ServerText.h"
#include "net/WSocket.h"

#include <algorithm>
#include <cstdio>

// The certificate of HOST:PORT, read by a handshake that accepts any
// certificate and records whether the store would have.
int ShowCertificate(const std::string& target, bool startTls) {
    // HOST, HOST:PORT, [IPv6] or [IPv6]:PORT. A bare IPv6 address has too
    // many colons to tell a port from: it needs its brackets.
    std::string host = target;
    std::string port = startTls ? "110" : "995";
    bool valid = true;
    if (!target.empty() && target[0] == '[') {
        const size_t close = target.find(']');
        valid = close != std::string::npos && IsIPv6Literal(target.substr(0, close + 1));
        if (valid) {
            host = target.substr(1, close - 1);
            const std::string rest = target.substr(close + 1);
            if (!rest.empty()) {
                valid = rest[0] == ':';
                port = rest.substr(1);
            }
        }
    } else if (std::count(target.begin(), target.end(), ':') > 1) {
        std::fprintf(stderr, "Vesk: --fingerprint: write an IPv6 address in brackets, as in [%s]:%s\n",
                     target.c_str(), port.c_str());
        return 2;
    } else if (const size_t colon = target.rfind(':'); colon != std::string::npos) {
        host = target.substr(0, colon);
        port = target.substr(colon + 1);
    }
    if (!valid || host.empty() || port.empty() || port.find_first_not_of("0123456789") != std::string::npos) {
        std::fprintf(stderr, "Vesk: --fingerprint needs HOST, HOST:PORT or [IPv6]:PORT, not '%s'\n", target.c_str());
        return 2;
    }
    // How the host and port are shown again.
    const std::string shown = (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + port;

    TWSocket s;
    s.Timeout = 15000;
    s.TlsVerify = false;
    s.SetTlsMode(startTls ? tlsExplicit : tlsImplicit);
    s.SetTlsHost(host);
    s.SetLineMode(true);
    bool done = false;
    std::string failure;
    auto finish = [&](const std::string& text) {
        if (done) return;
        failure = text;
        done = true;
    };
    s.OnTlsDone = [&](TObject*, WORD error) { finish(error ? s.TlsErrorText() : ""); };
    s.OnSessionClosed = [&](TObject*, WORD) { finish("the server closed the connection"); };
    s.OnSessionConnected = [&](TObject*, WORD error) {
        if (error == WSOCKET_TLS_ERROR)
            finish(s.TlsErrorText());
        else if (error != 0)
            finish(SocketErrorText(error) + " (error #" + std::to_string(error) + ")");
        else if (!startTls)
            finish("");
    };
    int stage = 0;  // STLS: 0 awaiting the greeting, 1 awaiting the reply
    s.OnDataAvailable = [&](TObject*, WORD) {
        const std::string line = s.ReceiveText();
        if (!startTls || line.empty() || done) return;
        if (line[0] != '+') {
            finish(stage == 0 ? "the server refused the session: " + CleanServerText(line.substr(0, line.find('\r')), 200)
                              : "STLS refused by the server");
        } else if (stage++ == 0) {
            s.SendText("STLS\r\n");
        } else {
            s.StartTls();
        }
    };
    try {
        s.SetAddr(host);
        s.SetPort(port);
        s.SetProto("tcp");
        s.Connect();
    } catch (const std::exception& e) {
        finish(e.what());
    }
    if (!done && s.WaitForFlag(done) != 0) finish("no answer within 15 seconds");
    const TTlsCertInfo& cert = s.TlsCertInfo();
    if (!failure.empty() || cert.Sha256.empty()) {
        std::fprintf(stderr, "Vesk: %s: %s\n", shown.c_str(), failure.empty() ? "no certificate" : failure.c_str());
        return 1;
    }
    std::string colons;
    for (size_t i = 0; i < cert.Sha256.size(); i += 2) colons += (i ? ":" : "") + cert.Sha256.substr(i, 2);
    std::printf("Fingerprint (SHA-256): %s\n", colons.c_str());
    std::printf("Subject: %s\n", cert.Subject.c_str());
    std::printf("Issuer: %s\n", cert.Issuer.c_str());
    std::printf("Valid from: %s\n", cert.NotBefore.c_str());
    std::printf("Valid until: %s\n", cert.NotAfter.c_str());
    std::printf("Trusted by the system store for %s: %s\n", host.c_str(),
                cert.Trusted ? "yes" : ("no (" + cert.VerifyText + ")").c_str());
    std::printf("Protocol: %s\n", s.TlsVersion().c_str());
    s.Abort();
    return 0;
}
