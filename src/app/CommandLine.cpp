#include "app/CommandLine.h"

#include <QCommandLineParser>

std::string ProductVersionText() { return "Vesk " VESK_PRODUCT_VERSION; }

bool AsksOnlyForInformation(const QStringList& arguments) {
    for (const QString& a : arguments.mid(1)) {
        if (a == "--") break;
        if (a == "-h" || a == "--help" || a == "--help-all" || a == "-v" || a == "--version") return true;
    }
    return false;
}

bool AsksToCheck(const QStringList& arguments) {
    for (const QString& a : arguments.mid(1)) {
        if (a == "--") break;
        if (a == "--check") return true;
    }
    return false;
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
    parser.addOption(version);
    parser.addOption(ini);
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
