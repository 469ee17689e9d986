// What a poll cycle shows on the Scroll Lock LED, decided from the message
// counts of the cycle before and of this one.
//
//   Error      an account failed        blink 2, flash only with FlashOnError, keep the LED's state
//   No mail    total 0                  no blinks, no flash, off
//   Changed    total differs            blink 5, flash as Flash, on
//   Moved      same total, other spread blink 5, flash as Flash, on
//   Unchanged  same counts everywhere   blink 5; with LightOnEqual on (flash only with
//                                       FlashOnEqual), without it off (no flash)
#pragma once

#include <vector>

enum class TLedTarget { Off, On, Keep };

struct TLedOptions {
    bool Flash = false;
    bool LightOnEqual = false;
    bool FlashOnEqual = false;
    bool FlashOnError = false;
};

struct TLedDecision {
    int BlinkCount = 0;
    bool FlashEnabled = false;
    // Keep: the LED ends in the state it is read to have.
    TLedTarget Target = TLedTarget::Off;

    bool operator==(const TLedDecision&) const = default;
};

// `previous`: the counts by position that the cycle started from. `counts`:
// the counts by position of the account table as the cycle ends; a position
// either list lacks had no mail. `total`: the sum the cycle added up account
// by account (it still holds an account that a reload during the cycle took
// out of the table). `failed`: an account's check failed.
TLedDecision DecideLed(const std::vector<int>& previous, const std::vector<int>& counts, long long total,
                       bool failed, const TLedOptions& options);
