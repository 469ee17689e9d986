// Where the settings file lives.
//
//  1. `--ini PATH` on the command line: that file, wherever it is.
//  2. For a Vesk that is not installed, the file beside the executable
//     (IniBesideExecutable: Vesk reads Vesk.ini) when it exists or its
//     folder takes new files, so a copied, portable Vesk keeps its settings
//     with it. An installed Vesk is known by its tree, not by what the user
//     may write: PREFIX/bin/Vesk with PREFIX/libexec/vesk/vesk-desktop, or
//     that vesk-desktop itself. Root may write into /usr/bin, but settings
//     do not belong there.
//  3. Otherwise (an installed Vesk, for every user including root, or a
//     portable one in a folder the user cannot write),
//     $XDG_CONFIG_HOME/vesk/Vesk.ini, or ~/.config/vesk/Vesk.ini when
//     XDG_CONFIG_HOME is unset, empty or not an absolute path. Its folder is
//     made (mode 0700) when it is chosen; the file itself is made by the
//     first save, readable by the user alone (mode 0600).
#pragma once

#include <string>

// The settings file beside the executable: its name with ".exe" replaced by,
// or else followed by, ".ini".
std::string IniBesideExecutable(const std::string& exePath);

// The settings file for the executable at `exePath`; `iniOption` is the
// --ini value (empty when not given).
std::string ChooseIniPath(const std::string& exePath, const std::string& iniOption);

// The --ini value of this run, set once by main before the main window is
// made; empty when the option was not given.
void SetIniOption(std::string path);
const std::string& IniOption();
