// The LED table of the poll cycle, case by case, with Flash on throughout so
// that the flash column shows what each case does with it.
#include "app/LedDecision.h"

#include <gtest/gtest.h>

namespace {

struct LedCase {
    const char* name;
    std::vector<int> previous, counts;
    bool failed;
    TLedOptions options;
    TLedDecision expected;
};

long long Sum(const std::vector<int>& v) {
    long long total = 0;
    for (int c : v) total += c;
    return total;
}

}  // namespace

TEST(LedDecision, EveryCaseOfTheTable) {
    using enum TLedTarget;
    const TLedOptions plain{true, true, false, false};
    const TLedOptions onError{true, true, false, true};
    const TLedOptions onEqual{true, true, true, false};
    const TLedOptions dark{true, false, true, true};
    const LedCase cases[] = {
        {"error without FlashOnError", {3}, {3}, true, plain, {2, false, Keep}},
        {"error with FlashOnError", {3}, {0}, true, onError, {2, true, Keep}},
        {"error wins over no mail", {0}, {0}, true, onError, {2, true, Keep}},
        {"no mail", {3, 1}, {0, 0}, false, onEqual, {0, false, Off}},
        {"changed", {3}, {4}, false, plain, {5, true, On}},
        {"moved", {2, 0}, {0, 2}, false, plain, {5, true, On}},
        {"moved into a position the snapshot lacks", {2}, {0, 2}, false, plain, {5, true, On}},
        {"unchanged, lit, FlashOnEqual off", {2, 1}, {2, 1}, false, plain, {5, false, On}},
        {"unchanged, lit, FlashOnEqual on", {2, 1}, {2, 1}, false, onEqual, {5, true, On}},
        {"unchanged, dark", {2, 1}, {2, 1}, false, dark, {5, false, Off}},
        {"Flash off never flashes", {0}, {1}, false, {false, true, true, true}, {5, false, On}},
    };
    for (const LedCase& c : cases) {
        const TLedDecision got = DecideLed(c.previous, c.counts, Sum(c.counts), c.failed, c.options);
        EXPECT_EQ(got.BlinkCount, c.expected.BlinkCount) << c.name;
        EXPECT_EQ(got.FlashEnabled, c.expected.FlashEnabled) << c.name;
        EXPECT_EQ(got.Target, c.expected.Target) << c.name;
    }
}

TEST(LedDecision, AnAccountRemovedDuringTheCycleStillCountsInTheTotal) {
    // A reload during the cycle took position 1 out of the table after it was
    // checked: its count is in the total but not in the compared positions.
    const TLedOptions options{true, true, false, false};
    EXPECT_EQ(DecideLed({2, 0}, {2}, 3, false, options), (TLedDecision{5, true, TLedTarget::On}));
    EXPECT_EQ(DecideLed({2, 1}, {2}, 3, false, options), (TLedDecision{5, false, TLedTarget::On}));
}
