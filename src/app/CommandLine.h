// The command line: `--check` (check every account once, print the counts,
// exit), `--ini PATH` (the settings file to use), `--version`, `--help`, and
// `--fingerprint HOST[:PORT] [--starttls]`. Each option is one QCommandLineOption in CommandLine.cpp and,
// when it carries something the program needs, one field here.
#pragma once

#include <QStringList>

#include <string>

struct TCommandLine {
    // --ini PATH; empty when not given.
    std::string IniPath;
    // --fingerprint HOST[:PORT]; empty when not given. --starttls: by STLS.
    std::string FingerprintTarget;
    bool StartTls = false;
    // --check: no window; check, print, exit.
    bool Check = false;

    // Set when the program should not start but print `Output` (standard
    // output) or `Error` (standard error) and end with `ExitCode`: --version,
    // --help, or a command line it cannot use.
    bool Exit = false;
    int ExitCode = 0;
    std::string Output;
    std::string Error;
};

// For a command line that ends the program (Exit): writes its Output and
// Error and answers its ExitCode.
int PrintAndExit(const TCommandLine& commandLine);

// Reads `arguments` (the program name first, as QCoreApplication::arguments
// gives them).
TCommandLine ParseCommandLine(const QStringList& arguments);

// True when `arguments` ask only for information (--version, --help): the
// program prints it and ends, so it needs no display and no word about one.
bool AsksOnlyForInformation(const QStringList& arguments);

// True when `arguments` ask for what runs without any window: --check,
// --fingerprint, --version, --help (and a command line that does not parse
// along with them).
bool RunsWithoutWindows(const QStringList& arguments);

// argv as QCoreApplication::arguments would give it, before any application
// object exists.
QStringList ArgumentList(int argc, char** argv);

// Runs that under the Qt core application alone (no display, no window, no
// LED, no sound) and answers the exit status.
int RunWithoutWindows(int argc, char** argv);

// "Vesk 1.10": the product name and version, as --version prints them.
std::string ProductVersionText();
