// `Vesk --check`: every account checked once, all at once, one line each on
// standard output, no window, no LED, no sound.
#pragma once

#include "app/CheckAll.h"

#include <ostream>
#include <string>
#include <vector>

// Exit codes of the command.
constexpr int kCheckAllChecked = 0;
constexpr int kCheckSomeFailed = 1;
constexpr int kCheckUsageError = 2;

// The line printed for one checked account: "Name<TAB>count" or
// "Name<TAB>error<TAB>reason" (without the line end).
std::string CheckLine(const std::string& name, const TCheckResult& result);

// Prints one line per checked account in account order and returns the exit
// code: 0 when every account was checked, 1 when one failed.
int PrintCheckResults(const std::vector<TCheckTarget>& accounts, const std::vector<TCheckResult>& results,
                      std::ostream& out);

// Reads the accounts of the INI file at `iniPath`, checks them and prints the
// lines. A file that cannot be read is a settings error: a message on `err`
// and 2. Needs the Qt core application object (no GUI).
int RunCheckCommand(const std::string& iniPath, std::ostream& out, std::ostream& err);
