#include "app/CommandLine.h"

#include "app/CertificateCommand.h"
#include "app/CheckCommand.h"
#include "app/IniLocation.h"

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

