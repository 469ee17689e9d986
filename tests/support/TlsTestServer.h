// One run of the scripted TLS server (tests/support/tls_server.py) with the
// certificates of scripts/fixtures/tlscerts.sh: started by the constructor,
// killed by the destructor. Its log holds every line a client sent.
#pragma once

#include "support/Fixtures.h"
#include "support/TestSupport.h"

#include <QProcess>
#include <QStringList>

#include <cctype>
#include <string>

namespace TestSupport {

class TlsTestServer {
public:
    // cert: server, wrongname, expired or untrusted; mode: implicit or stls;
    // scriptCase: normal, stls-err, inject, stall or close; protocol: pop3
    // or imap (see tls_server.py); address: 127.0.0.1 or ::1.
    TlsTestServer(const std::string& certDir, const std::string& cert, const std::string& mode,
                  const std::string& scriptCase, const std::string& protocol = "pop3",
                  const std::string& address = "127.0.0.1") {
        log_ = dir_.File("server.log");
        auto q = [](const std::string& s) { return QString::fromStdString(s); };
        proc_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        proc_.start("python3", QStringList{q(VESK_SOURCE_DIR "/tests/support/tls_server.py"), "--certs", q(certDir),
                                           "--cert", q(cert), "--mode", q(mode), "--case", q(scriptCase), "--log",
                                           q(log_), "--protocol", q(protocol), "--address", q(address)});
        if (proc_.waitForStarted(5000) && proc_.waitForReadyRead(20000)) {
            QByteArray line = proc_.readLine().trimmed();
            if (line.startsWith("PORT ")) port = line.mid(5).toInt();
        }
    }
    ~TlsTestServer() {
        proc_.kill();
        proc_.waitForFinished(5000);
    }
    TlsTestServer(const TlsTestServer&) = delete;
    TlsTestServer& operator=(const TlsTestServer&) = delete;

    std::string Log() const { return ReadFile(log_); }
    // True when a received line starts with `prefix` (case-blind).
    bool Received(const std::string& prefix) const {
        auto upper = [](std::string s) {
            for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            return s;
        };
        return upper("\n" + Log()).find(upper("\n" + prefix)) != std::string::npos;
    }
    bool ReceivedCredentials() const { return Received("USER") || Received("PASS") || Received("APOP"); }

    // The certificate's fingerprint as tlscerts.sh recorded it (colon form).
    static std::string Fingerprint(const std::string& certDir, const std::string& cert) {
        std::string name;
        for (char c : cert) name += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        return ReadEnvFile(certDir + "/certs.env")["VESK_TLS_FP_" + name];
    }

    int port = 0;

private:
    TempDir dir_;
    std::string log_;
    QProcess proc_;
};

}  // namespace TestSupport
