#include "app/TrayWatch.h"

#include "platform/ShellApi.h"

#include <cstdio>

namespace {
bool told = false;  // the notice is given once per run
}

TTrayWatch::~TTrayWatch() { Stop(); }

bool TTrayWatch::Follow(bool wanted, std::function<void()> reapply) {
    if (!wanted || TrayAvailable()) {
        Stop();
        return wanted;
    }
    if (!told) {
        told = true;
        std::fprintf(stderr,
                     "Vesk: the desktop has no notification area (system tray); the window stays shown "
                     "until one appears (TaskTray=1 is kept).\n");
    }
    FWatching = true;
    OnTrayAvailabilityChange([reapply = std::move(reapply)] {
        if (TrayAvailable()) reapply();
    });
    return false;
}

void TTrayWatch::Stop() {
    if (!FWatching) return;
    FWatching = false;
    OnTrayAvailabilityChange(nullptr);
}
