// The command line: `--check` (check every account once, print the counts,
// exit), `--ini PATH` (the settings file to use), `--version` and `--help`. Each option is one QCommandLineOption in CommandLine.cpp and,
// when it carries something the program needs, one field here.
#pragma once

#include <QStringList>

#include <string>

struct TCommandLine {
    // --ini PATH; empty when not given.
    std::string IniPath;
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

// Reads `arguments` (the program name first, as QCoreApplication::arguments
// gives them).
TCommandLine ParseCommandLine(const QStringList& arguments);

// True when `arguments` ask only for information (--version, --help): the
// program prints it and ends, so it needs no display and no word about one.
bool AsksOnlyForInformation(const QStringList& arguments);

// True when `arguments` hold --check: the program then runs without any GUI
// object (QCoreApplication alone).
bool AsksToCheck(const QStringList& arguments);

// "Vesk 1.10": the product name and version, as --version prints them.
std::string ProductVersionText();
