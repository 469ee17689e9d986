// Facts about the desktop session the program starts in.
#pragma once

#include <functional>

// True when a display server can be reached: a Wayland socket, or an X
// display from DISPLAY that accepts a connection.
bool DisplayReachable();

// Gives the process a private runtime folder (XDG_RUNTIME_DIR) when the
// session has none, as for root without a login session, so that the desktop
// libraries find one without complaining. Call before the Qt application
// object is made.
void EnsureRuntimeDir();

// Runs `handler` on the GUI thread, from the event loop, when the process is
// asked to end (SIGTERM, SIGINT, SIGHUP), so that it can close down cleanly.
// Needs the Qt application object.
void OnTerminationRequest(std::function<void()> handler);
