// What the desktop backend tests need of the outside world: the private X display and
// sound server that the CTest fixtures started, and the command-line tools
// that read them back.
#pragma once

#include <QStringList>

#include <string>

namespace DesktopFixtures {

// The display name written by scripts/fixtures/xvfb.sh (e.g. ":3"). Raises
// std::runtime_error when the fixture did not run: a missing display fails.
std::string XDisplay();
// The PulseAudio server address and null-sink name written by
// scripts/fixtures/pulse.sh; raise std::runtime_error when missing.
std::string PulseServer();
std::string PulseSink();

struct TRun {
    int exitCode = -1;
    std::string out;
    std::string err;
};
// Runs `program` with `args` (extra environment NAME=value in `env`) and
// waits for it to end, at most 30 s; raises std::runtime_error when it cannot
// be started or does not end.
TRun RunTool(const QString& program, const QStringList& args, const QStringList& env = {});

// The state of the indicator named "Scroll Lock" as `xset q` reports it.
bool XsetScrollLock(const std::string& display);
// Sets it with `xset led named "Scroll Lock"`.
void XsetSetScrollLock(const std::string& display, bool on);

}  // namespace DesktopFixtures
