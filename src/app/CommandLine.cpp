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

TCommandLine ParseCommandLine(const QStringList& arguments) {
    QCommandLineParser parser;
    parser.setApplicationDescription("Watches POP3 mailboxes and signals waiting mail on the Scroll Lock LED.");
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version({"v", "version"}, "Displays version information.");
    const QCommandLineOption ini("ini", "Reads and writes the settings in <path>.", "path");
    parser.addOption(version);
    parser.addOption(ini);

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
