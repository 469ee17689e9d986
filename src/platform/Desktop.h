// Facts about the desktop session the program starts in.
#pragma once

#include <functional>

// True when a display server can be reached: a Wayland socket, or an X
// display from DISPLAY that accepts a connection.
bool DisplayReachable();

// Runs `handler` on the GUI thread, from the event loop, when the process is
// asked to end (SIGTERM, SIGINT, SIGHUP), so that it can close down cleanly.
// Needs the Qt application object.
void OnTerminationRequest(std::function<void()> handler);
