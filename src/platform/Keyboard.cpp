#include "platform/Keyboard.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string_view>
#include <thread>

#include <unistd.h>

#include <X11/XKBlib.h>
#include <X11/Xlib.h>

namespace {

SHORT MakeKeyState(bool toggled, bool down) {
    std::uint16_t bits = (toggled ? 0x0001 : 0) | (down ? 0x8000 : 0);
    return static_cast<SHORT>(bits);
}

// What every real backend shares: only Scroll Lock has a state here; its
// key-down toggles the LED, its key-up releases the key. The LED itself is
// read and written by the backend.
class TLedKeyboardHost : public TKeyboardHost {
public:
    SHORT KeyState(int virtKey) override {
        if (virtKey != VK_SCROLL) return 0;
        return MakeKeyState(ReadLed(), FDown);
    }

    void KeyEvent(BYTE vk, BYTE, DWORD flags, ULONG_PTR) override {
        if (vk != VK_SCROLL) return;
        if (flags & KEYEVENTF_KEYUP) {
            FDown = false;
            return;
        }
        FDown = true;
        WriteLed(!ReadLed());
    }

    void Pause(DWORD milliseconds) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    }

protected:
    virtual bool ReadLed() = 0;
    virtual void WriteLed(bool lit) = 0;

private:
    bool FDown = false;
};

class TMemoryKeyboardHost : public TLedKeyboardHost {
public:
    explicit TMemoryKeyboardHost(bool lit) : FLit(lit) {}
    std::string Kind() const override { return "memory"; }

protected:
    bool ReadLed() override { return FLit; }
    void WriteLed(bool lit) override { FLit = lit; }

private:
    bool FLit;
};

// The kernel's LED class: one folder per LED, each with a brightness file
// (0 = dark) and a max_brightness file. Several keyboards give several
// Scroll Lock LEDs; all are set alike, the first one is read.
class TSysfsKeyboardHost : public TLedKeyboardHost {
public:
    explicit TSysfsKeyboardHost(std::vector<std::filesystem::path> leds) : FLeds(std::move(leds)) {}
    std::string Kind() const override { return "sysfs"; }

protected:
    bool ReadLed() override {
        std::ifstream in(FLeds.front() / "brightness");
        long value = 0;
        return (in >> value) && value > 0;
    }

    void WriteLed(bool lit) override {
        for (const auto& led : FLeds) {
            long value = 0;
            if (lit) {
                std::ifstream max(led / "max_brightness");
                if (!(max >> value) || value <= 0) value = 1;
            }
            std::ofstream out(led / "brightness", std::ios::trunc);
            out << value << '\n';
        }
    }

private:
    std::vector<std::filesystem::path> FLeds;
};

// Collects the X errors raised by our own requests while it is installed, so
// a refused request fails the call instead of ending the program. The error
// handler is process-wide: the previous one is put back at once.
class TXErrorTrap {
public:
    explicit TXErrorTrap(Display* display) : FDisplay(display) {
        FFailed = false;
        FPrevious = XSetErrorHandler(&TXErrorTrap::Handler);
    }
    ~TXErrorTrap() { XSetErrorHandler(FPrevious); }
    // Waits until the server has handled every request sent so far.
    bool Ok() {
        XSync(FDisplay, False);
        return !FFailed;
    }

private:
    static int Handler(Display*, XErrorEvent*) {
        FFailed = true;
        return 0;
    }
    static inline bool FFailed = false;
    Display* FDisplay;
    int (*FPrevious)(Display*, XErrorEvent*);
};

// A broken connection to the X server makes Xlib call the process-wide I/O
// error handler and then the connection's exit handler; both end the program
// by default. For the connections of this layer both return instead (the
// connection is then marked broken and every later request on it returns at
// once); the handler that was installed before keeps serving every other
// connection, such as the widgets' own.
class TXConnectionGuard {
public:
    static void Watch(Display* display) {
        static bool installed = false;
        if (!installed) {
            FPrevious = XSetIOErrorHandler(&TXConnectionGuard::Handler);
            installed = true;
        }
        FWatched.push_back(display);
    }
    static void Forget(Display* display) { std::erase(FWatched, display); }

private:
    static int Handler(Display* display) {
        if (std::find(FWatched.begin(), FWatched.end(), display) != FWatched.end()) return 0;
        return FPrevious ? FPrevious(display) : 0;
    }
    static inline int (*FPrevious)(Display*) = nullptr;
    static inline std::vector<Display*> FWatched;
};

// The X keyboard extension's indicator named "Scroll Lock", over a connection
// of our own (the widgets may run on another platform, or on none).
class TX11KeyboardHost : public TLedKeyboardHost {
public:
    TX11KeyboardHost(Display* display, Atom indicator) : FDisplay(display), FIndicator(indicator) {
        // Once the connection is broken we answer from the last known state.
        TXConnectionGuard::Watch(FDisplay);
        XSetIOErrorExitHandler(FDisplay, &TX11KeyboardHost::ConnectionLost, this);
        FLast = Query().value_or(false);
    }

    ~TX11KeyboardHost() override {
        XCloseDisplay(FDisplay);
        TXConnectionGuard::Forget(FDisplay);
    }

    std::string Kind() const override { return "x11"; }

protected:
    bool ReadLed() override {
        if (auto state = Query()) FLast = *state;
        return FLast;
    }

    void WriteLed(bool lit) override {
        FLast = lit;
        if (FLost) return;
        TXErrorTrap trap(FDisplay);
        XkbSetNamedIndicator(FDisplay, FIndicator, True, lit ? True : False, False, nullptr);
        trap.Ok();
    }

private:
    std::optional<bool> Query() {
        if (FLost) return std::nullopt;
        TXErrorTrap trap(FDisplay);
        int index = 0;
        Bool state = False;
        Bool found = XkbGetNamedIndicator(FDisplay, FIndicator, &index, &state, nullptr, nullptr);
        if (!trap.Ok() || FLost || !found) return std::nullopt;
        return state != False;
    }

    static void ConnectionLost(Display*, void* self) { static_cast<TX11KeyboardHost*>(self)->FLost = true; }

    Display* FDisplay;
    Atom FIndicator;
    bool FLost = false;
    bool FLast = false;
};

TKeyboardHost*& InstalledHost() {
    static TKeyboardHost* host = nullptr;
    return host;
}

}  // namespace

UINT MapLockKey(UINT code, UINT mapType) {
    struct Pair {
        UINT vk;
        UINT scan;
    };
    static constexpr Pair table[] = {{VK_CAPITAL, 0x3A}, {VK_NUMLOCK, 0x45}, {VK_SCROLL, 0x46}};
    for (const auto& p : table) {
        if (mapType == MAPVK_VK_TO_VSC && code == p.vk) return p.scan;
        if (mapType == MAPVK_VSC_TO_VK && code == p.scan) return p.vk;
    }
    return 0;
}

std::unique_ptr<TKeyboardHost> OpenX11KeyboardHost(const char* displayName) {
    // Opens the connection and sets up the keyboard extension on it; fails
    // when either is missing.
    int major = XkbMajorVersion, minor = XkbMinorVersion, event = 0, error = 0, reason = 0;
    Display* display = XkbOpenDisplay(const_cast<char*>(displayName), &event, &error, &major, &minor, &reason);
    if (!display) return nullptr;
    Atom indicator = XInternAtom(display, "Scroll Lock", True);
    int index = 0;
    Bool state = False;
    if (indicator == None || !XkbGetNamedIndicator(display, indicator, &index, &state, nullptr, nullptr)) {
        XCloseDisplay(display);
        return nullptr;
    }
    return std::make_unique<TX11KeyboardHost>(display, indicator);
}

std::unique_ptr<TKeyboardHost> OpenSysfsKeyboardHost(const std::string& ledsDir) {
    namespace fs = std::filesystem;
    std::vector<fs::path> leds;
    std::error_code ec;
    for (fs::directory_iterator it(ledsDir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        const std::string suffix = "::scrolllock";
        if (name.size() <= suffix.size() || name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
            continue;
        fs::path brightness = it->path() / "brightness";
        if (access(brightness.c_str(), R_OK | W_OK) == 0) leds.push_back(it->path());
    }
    if (leds.empty()) return nullptr;
    std::sort(leds.begin(), leds.end());
    return std::make_unique<TSysfsKeyboardHost>(std::move(leds));
}

std::unique_ptr<TKeyboardHost> NewMemoryKeyboardHost(bool lit) { return std::make_unique<TMemoryKeyboardHost>(lit); }

bool WaylandSession() {
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    const char* session = std::getenv("XDG_SESSION_TYPE");
    return (wayland && *wayland) || (session && std::string_view(session) == "wayland");
}

std::unique_ptr<TKeyboardHost> ChooseKeyboardHost(const char* displayName, const std::string& ledsDir,
                                                  std::string* notice) {
    const bool wayland = WaylandSession();
    const char* display = displayName ? displayName : std::getenv("DISPLAY");
    if (!wayland && display && *display) {
        if (auto host = OpenX11KeyboardHost(display)) return host;
    }
    if (auto host = OpenSysfsKeyboardHost(ledsDir)) return host;
    if (notice) {
        *notice = std::string("Vesk: no Scroll Lock LED can be reached (") +
                  (wayland ? "Wayland session" : "no X display with a Scroll Lock indicator") + ", and no writable " +
                  ledsDir + "/*::scrolllock/brightness); the LED is kept in memory only. "
                  "To light it, install the udev rule 70-vesk-scrolllock.rules (see the README).";
    }
    return NewMemoryKeyboardHost(false);
}

TKeyboardHost* SetKeyboardHost(TKeyboardHost* host) {
    TKeyboardHost* previous = InstalledHost();
    InstalledHost() = host;
    return previous;
}

TKeyboardHost* CurrentKeyboardHost() {
    if (TKeyboardHost* host = InstalledHost()) return host;
    static std::unique_ptr<TKeyboardHost> automatic = [] {
        std::string notice;
        auto host = ChooseKeyboardHost(nullptr, "/sys/class/leds", &notice);
        if (!notice.empty()) std::fprintf(stderr, "%s\n", notice.c_str());
        return host;
    }();
    return automatic.get();
}

SHORT GetKeyState(int virtKey) { return CurrentKeyboardHost()->KeyState(virtKey); }

UINT MapVirtualKeyA(UINT code, UINT mapType) { return CurrentKeyboardHost()->MapVirtualKey(code, mapType); }

void keybd_event(BYTE vk, BYTE scan, DWORD flags, ULONG_PTR extraInfo) {
    CurrentKeyboardHost()->KeyEvent(vk, scan, flags, extraInfo);
}

void Sleep(DWORD milliseconds) { CurrentKeyboardHost()->Pause(milliseconds); }

// ---- test double ----

SHORT TFakeKeyboardHost::KeyState(int virtKey) {
    Reads.push_back(Clock);
    Steps.push_back({'R', Reads.size() - 1});
    if (virtKey != VK_SCROLL) return 0;
    return MakeKeyState(Lit, ScrollDown);
}

UINT TFakeKeyboardHost::MapVirtualKey(UINT code, UINT mapType) {
    Maps.push_back({code, mapType});
    Steps.push_back({'M', Maps.size() - 1});
    return MapLockKey(code, mapType);
}

void TFakeKeyboardHost::KeyEvent(BYTE vk, BYTE scan, DWORD flags, ULONG_PTR extraInfo) {
    Keys.push_back({vk, scan, flags, extraInfo, Clock});
    Steps.push_back({'K', Keys.size() - 1});
    if (vk != VK_SCROLL) return;
    if (flags & KEYEVENTF_KEYUP) {
        ScrollDown = false;
    } else {
        ScrollDown = true;
        Lit = !Lit;
    }
}

void TFakeKeyboardHost::Pause(DWORD milliseconds) {
    Sleeps.push_back(milliseconds);
    Steps.push_back({'S', Sleeps.size() - 1});
    Clock += milliseconds;
    if (OnSleep) OnSleep(milliseconds);
}

int TFakeKeyboardHost::Toggles() const {
    int n = 0;
    for (const auto& k : Keys)
        if (k.vk == VK_SCROLL && !(k.flags & KEYEVENTF_KEYUP)) ++n;
    return n;
}
