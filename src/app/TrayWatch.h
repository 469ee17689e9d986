// The tray setting as the desktop allows it. With TaskTray=1 and no
// notification area on the desktop, a hidden window and an icon nobody can
// see would leave the user nothing to click: the main window stays shown as
// with TaskTray=0 (the setting itself is kept), standard error says so once,
// and the setting is followed again when a tray host appears.
#pragma once

#include <functional>

class TTrayWatch {
public:
    TTrayWatch() = default;
    ~TTrayWatch();
    TTrayWatch(const TTrayWatch&) = delete;
    TTrayWatch& operator=(const TTrayWatch&) = delete;

    // The tray setting to follow now for the setting `wanted`: false while
    // the desktop has no notification area. Then `reapply` runs once a
    // notification area has appeared (until the next call).
    bool Follow(bool wanted, std::function<void()> reapply);

    // True while the window is shown only because the desktop has no tray.
    bool FallingBack() const { return FWatching; }

private:
    void Stop();
    bool FWatching = false;
};
