// The Scroll Lock LED signaller.
//
// Shows the result of a poll cycle on the keyboard's Scroll Lock LED: reads
// the LED's state and changes it by synthesizing presses of the Scroll Lock
// key, optionally blinking it first. The state is never stored; it is read
// from the system every time it is needed. One signaller serves one cycle.
#pragma once

#include "framework/Classes.h"

class TSlLed : public TObject {
public:
    // True when the Scroll Lock LED is lit. Processes the pending messages
    // first; with AttentiveWait it then sleeps 1000 ms and processes them
    // again, so the key events sent before have reached the state it reads.
    bool GetLedState();

    // Stores n kept within 0 to 10.
    void SetBlinkCount(int n);
    int BlinkCount() const { return FBlinkCount; }

    // Blinks when FlashEnabled and the blink count is above 0 (2 x count + 1
    // toggles, 150 ms after each, no messages processed meanwhile), then
    // leaves the LED lit (on) or dark (!on).
    void Signal(bool on);

    // One press and release of Scroll Lock.
    void ToggleLed();

    bool FlashEnabled = false;
    bool AttentiveWait = true;

private:
    int FBlinkCount = 0;
};
