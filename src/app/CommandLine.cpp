#include "app/CommandLine.h"

#include "app/CheckCommand.h"
#include "app/IniLocation.h"
#include "codec/ServerText.h"
#include "net/WSocket.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>
#include <iostream>

std::string ProductVersionText() { return "Vesk " VESK_PRODUCT_VERSION; }

bool AsksOnlyForInformation(const QStringList& arguments) {
    for (const QString& a : arguments.mid(1)) {
        if (a == "--") break;
        if (a == "-h" || a == "--help" || a == "--help-all" || a == "-v" || a == "--version") return true;
    }
    return false;
}

bool RunsWithoutWindows(const QStringList& arguments) {
    for (const QString& a : arguments.mid(1)) {
        if (a == "--") break;
        if (a == "--check" || a == "--fingerprint" || a.startsWith("--fingerprint=")) return true;
    }
    return AsksOnlyForInformation(arguments);
}

QStringList ArgumentList(int argc, char** argv) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
    return arguments;
}

int PrintAndExit(const TCommandLine& commandLine) {
    std::fputs(commandLine.Output.c_str(), stdout);
    std::fputs(commandLine.Error.c_str(), stderr);
    return commandLine.ExitCode;
}

int RunWithoutWindows(int argc, char** argv) {
    // Qt's plain Unix event loop rather than GLib's: nothing here needs GLib,
    // and with GLib's every socket notifier turned off wakes the loop through
    // its descriptor, dozens of times per connection of a check.
    const bool glibChosen = qEnvironmentVariableIsSet("QT_NO_GLIB");
    if (!glibChosen) qputenv("QT_NO_GLIB", "1");
    QCoreApplication core(argc, argv);
    if (!glibChosen) qunsetenv("QT_NO_GLIB");
    core.setApplicationName("Vesk");
    const TCommandLine commandLine = ParseCommandLine(QCoreApplication::arguments());
    if (commandLine.Exit) return PrintAndExit(commandLine);
    if (!commandLine.FingerprintTarget.empty())
        return ShowCertificate(commandLine.FingerprintTarget, commandLine.StartTls);
    const std::string exePath = QCoreApplication::applicationFilePath().toLocal8Bit().toStdString();
    return RunCheckCommand(ChooseIniPath(exePath, commandLine.IniPath), std::cout, std::cerr);
}

TCommandLine ParseCommandLine(const QStringList& arguments) {
    QCommandLineParser parser;
    parser.setApplicationDescription("Watches POP3 mailboxes and signals waiting mail on the Scroll Lock LED.");
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version({"v", "version"}, "Displays version information.");
    const QCommandLineOption ini("ini", "Reads and writes the settings in <path>.", "path");
    const QCommandLineOption check("check",
                                   "Checks every account once, prints one line per account (name, TAB, message "
                                   "count; or name, TAB, error, TAB, reason) and exits: 0 when every account was "
                                   "checked, 1 when one failed, 2 for a usage or settings error.");
    const QCommandLineOption fingerprint(
        "fingerprint", "Prints the TLS certificate of <host[:port]> (POP3S, port 995) and ends.", "host[:port]");
    const QCommandLineOption startTls("starttls", "With --fingerprint: plain POP3 (port 110), then STLS.");
    parser.addOption(version);
    parser.addOption(ini);
    parser.addOption(fingerprint);
    parser.addOption(startTls);
    parser.addOption(check);

    TCommandLine result;
    if (!parser.parse(arguments)) {
        result.Exit = true;
        result.ExitCode = 2;
        result.Error = "Vesk: " + parser.errorText().toLocal8Bit().toStdString() + " (see Vesk --help)\n";
        return result;
    }
    if (parser.isSet(help)) {
        result.Exit = true;
        result.Output = parser.helpText().toLocal8Bit().toStdString();
        return result;
    }
    if (parser.isSet(version)) {
        result.Exit = true;
        result.Output = ProductVersionText() + "\n";
        return result;
    }
    if (!parser.positionalArguments().isEmpty()) {
        result.Exit = true;
        result.ExitCode = 2;
        result.Error = "Vesk: unexpected argument '" + parser.positionalArguments().first().toLocal8Bit().toStdString() +
                       "' (see Vesk --help)\n";
        return result;
    }
    result.Check = parser.isSet(check);
    if (parser.isSet(fingerprint)) {
        result.FingerprintTarget = parser.value(fingerprint).toLocal8Bit().toStdString();
        result.StartTls = parser.isSet(startTls);
        if (result.FingerprintTarget.empty()) {
            result.Exit = true;
            result.ExitCode = 2;
            result.Error = "Vesk: --fingerprint needs a host (see Vesk --help)\n";
        }
        return result;
    }
    if (parser.isSet(startTls)) {
        result.Exit = true;
        result.ExitCode = 2;
        result.Error = "Vesk: --starttls goes with --fingerprint (see Vesk --help)\n";
        return result;
    }
    if (parser.isSet(ini)) {
        result.IniPath = parser.value(ini).toLocal8Bit().toStdString();
        if (result.IniPath.empty()) {
            result.Exit = true;
            result.ExitCode = 2;
            result.Error = "Vesk: --ini needs a file name (see Vesk --help)\n";
        }
    }
    return result;
}

// The certificate of HOST:PORT, read by a handshake that accepts any
// certificate and records whether the store would have.
int ShowCertificate(const std::string& target, bool startTls) {
    std::string host = target;
    std::string port = startTls ? "110" : "995";
    const size_t colon = target.rfind(':');
    if (colon != std::string::npos) {
        host = target.substr(0, colon);
        port = target.substr(colon + 1);
    }
    if (host.empty() || port.empty() || port.find_first_not_of("0123456789") != std::string::npos) {
        std::fprintf(stderr, "Vesk: --fingerprint needs HOST or HOST:PORT, not '%s'\n", target.c_str());
        return 2;
    }

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
        std::fprintf(stderr, "Vesk: %s:%s: %s\n", host.c_str(), port.c_str(),
                     failure.empty() ? "no certificate" : failure.c_str());
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
