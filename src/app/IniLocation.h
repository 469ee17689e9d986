// Where the settings file lives: the file `--ini PATH` names, else the one
// beside the executable (TfrmMain::IniPathOf: Vesk reads Vesk.ini).
#pragma once

#include <string>

// The settings file for the executable at `exePath`; `iniOption` is the
// --ini value (empty when not given).
std::string ChooseIniPath(const std::string& exePath, const std::string& iniOption);

// The --ini value of this run, set once by main before the main window is
// made; empty when the option was not given.
void SetIniOption(std::string path);
const std::string& IniOption();
