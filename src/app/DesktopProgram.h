// Vesk is two programs. `Vesk`, the one users start, links Qt Core alone: it
// reads the command line and runs --check, --fingerprint, --version and
// --help by itself, quickly and without a display. For everything else it
// replaces itself (same process, same arguments) with the desktop program,
// `vesk-desktop`, which links the GUI and runs the windows, the tray icon,
// the LED and the sound. Loading the GUI libraries alone takes longer than a
// whole check of twenty accounts on a nearby server, which is why --check
// does not pay for them.
#pragma once

#include <string>

// The desktop program for the Vesk at `frontPath`: `vesk-desktop` beside it
// (a build folder, a portable copy) when that file exists, else the one in
// the installed tree (`relativeFolder`, relative to the front's folder, e.g.
// ../libexec/vesk for /usr/bin/Vesk).
std::string DesktopProgramFor(const std::string& frontPath, const std::string& relativeFolder);

// Replaces this process with the desktop program of this executable,
// passing `argv` on and telling it this executable's path (the settings file
// is named after it, see TakeProgramPath). Returns only when that fails:
// writes why to standard error and answers the exit status 1.
int StartDesktopProgram(char** argv);

// The path the settings file is chosen by: the front's, when the front
// started this desktop program, else this executable's own. The front's path
// is not passed on to programs started from here.
std::string TakeProgramPath();
