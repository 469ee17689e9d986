// The keyboard's lock-key state, synthesized key events and blocking pauses.
//
// GetKeyState answers for a virtual key: bit 0 is the toggle state (for
// Scroll Lock: the LED is lit), bit 15 is set while the key is held down by a
// synthesized key-down. keybd_event synthesizes a key event: a key-down of
// Scroll Lock toggles the Scroll Lock LED, a key-up only releases the key.
// MapVirtualKeyA translates between virtual keys and set-1 scan codes for the
// lock keys. Sleep blocks the calling thread.
//
// The work is done by the current keyboard host. By default it is chosen on
// first use, the first that works of:
//   1. the X display named by DISPLAY: the keyboard extension's indicator
//      named "Scroll Lock", over a connection of our own;
//   2. the kernel LED class: every writable /sys/class/leds/*::scrolllock;
//   3. an LED kept in memory, so the program still runs headless.
// In a Wayland session the X display is Xwayland, whose indicator no keyboard
// shows: there the X11 backend is not used, the kernel LED comes first. When
// only the LED in memory is left, one line on standard error says so and how
// to open the kernel LED to the user.
// Tests install TFakeKeyboardHost, which records every call and keeps a
// virtual clock instead of sleeping.
#pragma once

#include "platform/WinTypes.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

using SHORT = std::int16_t;
using ULONG_PTR = std::uintptr_t;

constexpr BYTE VK_CAPITAL = 0x14;
constexpr BYTE VK_NUMLOCK = 0x90;
constexpr BYTE VK_SCROLL = 0x91;

constexpr DWORD KEYEVENTF_EXTENDEDKEY = 1;
constexpr DWORD KEYEVENTF_KEYUP = 2;

constexpr UINT MAPVK_VK_TO_VSC = 0;
constexpr UINT MAPVK_VSC_TO_VK = 1;

SHORT GetKeyState(int virtKey);
UINT MapVirtualKeyA(UINT code, UINT mapType);
void keybd_event(BYTE vk, BYTE scan, DWORD flags, ULONG_PTR extraInfo);
void Sleep(DWORD milliseconds);

// The scan-code table behind MapVirtualKeyA, shared by every host: the lock
// keys only; anything else maps to 0.
UINT MapLockKey(UINT code, UINT mapType);

class TKeyboardHost {
public:
    virtual ~TKeyboardHost() = default;
    virtual SHORT KeyState(int virtKey) = 0;
    virtual UINT MapVirtualKey(UINT code, UINT mapType) { return MapLockKey(code, mapType); }
    virtual void KeyEvent(BYTE vk, BYTE scan, DWORD flags, ULONG_PTR extraInfo) = 0;
    virtual void Pause(DWORD milliseconds) = 0;
    // Which backend this is: "x11", "sysfs", "memory" or "fake".
    virtual std::string Kind() const = 0;
};

// Installs `host` (nullptr: the automatically chosen one) and returns the one
// it replaces. The caller keeps ownership of a host it installs.
TKeyboardHost* SetKeyboardHost(TKeyboardHost* host);
TKeyboardHost* CurrentKeyboardHost();

// The real backends. Each reads the LED from the system every time it is asked.
//
// The X11 one opens its own connection to `displayName` (nullptr: DISPLAY);
// nullptr when the display cannot be opened or has no "Scroll Lock" indicator.
// Should the display go away later, the host keeps answering from the last
// state it knew instead of ending the program.
std::unique_ptr<TKeyboardHost> OpenX11KeyboardHost(const char* displayName);
// Every `<ledsDir>/*::scrolllock/brightness` that can be written; nullptr when
// there is none. Lighting writes the LED's max_brightness (1 when unreadable).
std::unique_ptr<TKeyboardHost> OpenSysfsKeyboardHost(const std::string& ledsDir = "/sys/class/leds");
std::unique_ptr<TKeyboardHost> NewMemoryKeyboardHost(bool lit = false);
// True in a Wayland session: WAYLAND_DISPLAY is set and not empty, or
// XDG_SESSION_TYPE is "wayland".
bool WaylandSession();
// The first backend that works, in the order given at the top (the X display
// is skipped in a Wayland session). When it comes to the LED in memory and
// `notice` is given, *notice becomes the line that tells the user so.
std::unique_ptr<TKeyboardHost> ChooseKeyboardHost(const char* displayName, const std::string& ledsDir,
                                                  std::string* notice = nullptr);

// Test double: the LED in memory, every call recorded, pauses advanced on a
// virtual clock instead of slept.
class TFakeKeyboardHost : public TKeyboardHost {
public:
    struct Key {
        BYTE vk;
        BYTE scan;
        DWORD flags;
        ULONG_PTR extraInfo;
        DWORD at;  // virtual clock when it happened
    };
    struct Map {
        UINT code;
        UINT mapType;
    };
    // One entry per call, in order: 'K' key event, 'S' sleep, 'R' key-state
    // read, 'M' scan-code lookup; `index` points into the matching list.
    struct Step {
        char kind;
        std::size_t index;
    };

    explicit TFakeKeyboardHost(bool lit = false) : Lit(lit) {}

    SHORT KeyState(int virtKey) override;
    UINT MapVirtualKey(UINT code, UINT mapType) override;
    void KeyEvent(BYTE vk, BYTE scan, DWORD flags, ULONG_PTR extraInfo) override;
    void Pause(DWORD milliseconds) override;
    std::string Kind() const override { return "fake"; }

    // How many Scroll Lock key-downs were recorded.
    int Toggles() const;

    bool Lit;
    bool ScrollDown = false;
    DWORD Clock = 0;
    std::vector<Key> Keys;
    std::vector<DWORD> Sleeps;
    std::vector<DWORD> Reads;  // virtual clock of each key-state read
    std::vector<Map> Maps;
    std::vector<Step> Steps;
    // Called after each pause has advanced the clock.
    std::function<void(DWORD milliseconds)> OnSleep;
};
