#include "signals/SlLed.h"

#include "framework/Application.h"
#include "platform/Keyboard.h"

namespace {

constexpr DWORD kBlinkPause = 150;
constexpr DWORD kAttentivePause = 1000;

void ProcessPendingMessages() {
    if (Application) Application->ProcessMessages();
}

}  // namespace

bool TSlLed::GetLedState() {
    ProcessPendingMessages();
    if (AttentiveWait) {
        Sleep(kAttentivePause);
        ProcessPendingMessages();
    }
    return (GetKeyState(VK_SCROLL) & 1) != 0;
}

void TSlLed::SetBlinkCount(int n) {
    if (n > 10)
        FBlinkCount = 10;
    else if (n < 0)
        FBlinkCount = 0;
    else
        FBlinkCount = n;
}

void TSlLed::ToggleLed() {
    keybd_event(VK_SCROLL, static_cast<BYTE>(MapVirtualKeyA(VK_SCROLL, MAPVK_VK_TO_VSC)), KEYEVENTF_EXTENDEDKEY, 0);
    keybd_event(VK_SCROLL, static_cast<BYTE>(MapVirtualKeyA(VK_SCROLL, MAPVK_VK_TO_VSC)),
                KEYEVENTF_EXTENDEDKEY | KEYEVENTF_KEYUP, 0);
}

void TSlLed::Signal(bool on) {
    if (FlashEnabled && FBlinkCount > 0) {
        // An odd number of toggles: the LED ends the burst opposite to where
        // it began, and the step below puts it where it belongs.
        for (int i = 0; i < 2 * FBlinkCount + 1; ++i) {
            ToggleLed();
            Sleep(kBlinkPause);
        }
    }
    bool lit = GetLedState();
    if (on != lit) ToggleLed();
}
