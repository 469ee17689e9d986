// The LED signaller against the keyboard test double: the key events, pauses
// and readings it makes, on a virtual clock.
#include "signals/SlLed.h"

#include "platform/Keyboard.h"
#include "platform/Window.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <string>

namespace {

class SlLedTest : public ::testing::Test {
protected:
    void SetUp() override { previous_ = SetKeyboardHost(&keyboard); }
    void TearDown() override { SetKeyboardHost(previous_); }

    // The calls in order as a string: K key event, S sleep, R reading, M
    // scan-code lookup.
    std::string Trace() const {
        std::string s;
        for (const auto& step : keyboard.Steps) s += step.kind;
        return s;
    }

    static std::string Repeat(const std::string& s, int n) {
        std::string r;
        for (int i = 0; i < n; ++i) r += s;
        return r;
    }

    TFakeKeyboardHost keyboard;
    TSlLed led;

private:
    TKeyboardHost* previous_ = nullptr;
};

// A hidden window that counts the messages delivered to it and can run an
// action for each.
struct Receiver {
    Receiver() {
        wnd = AllocateHWnd([this](TMessage&) {
            ++delivered;
            if (onMessage) onMessage();
        });
    }
    ~Receiver() { DeallocateHWnd(wnd); }
    void Post() { ASSERT_TRUE(PostMessageA(wnd, WM_USER + 1, 0, 0)); }
    HWND wnd = 0;
    int delivered = 0;
    std::function<void()> onMessage;
};

TEST_F(SlLedTest, StartsWithoutFlashingAttentiveAndBlinkCountKeptWithinZeroToTen) {
    EXPECT_FALSE(led.FlashEnabled);
    EXPECT_TRUE(led.AttentiveWait);
    EXPECT_EQ(led.BlinkCount(), 0);
    led.SetBlinkCount(12);
    EXPECT_EQ(led.BlinkCount(), 10);
    led.SetBlinkCount(-3);
    EXPECT_EQ(led.BlinkCount(), 0);
    led.SetBlinkCount(10);
    EXPECT_EQ(led.BlinkCount(), 10);
    led.SetBlinkCount(7);
    EXPECT_EQ(led.BlinkCount(), 7);
    EXPECT_TRUE(keyboard.Steps.empty());
}

TEST_F(SlLedTest, ToggleIsOneExtendedPressAndReleaseOfScrollLockWithTheScanCodeLookedUpForEach) {
    led.ToggleLed();
    EXPECT_EQ(Trace(), "MKMK");
    ASSERT_EQ(keyboard.Keys.size(), 2u);
    for (const auto& m : keyboard.Maps) {
        EXPECT_EQ(m.code, 0x91u);
        EXPECT_EQ(m.mapType, 0u);
    }
    EXPECT_EQ(keyboard.Keys[0].vk, 0x91);
    EXPECT_EQ(keyboard.Keys[0].scan, 0x46);
    EXPECT_EQ(keyboard.Keys[0].flags, 1u);
    EXPECT_EQ(keyboard.Keys[0].extraInfo, 0u);
    EXPECT_EQ(keyboard.Keys[1].vk, 0x91);
    EXPECT_EQ(keyboard.Keys[1].scan, 0x46);
    EXPECT_EQ(keyboard.Keys[1].flags, 3u);
    EXPECT_EQ(keyboard.Keys[1].extraInfo, 0u);
    EXPECT_TRUE(keyboard.Lit);
    EXPECT_EQ(keyboard.Clock, 0u);  // no pause between press and release
}

TEST_F(SlLedTest, WithoutFlashingOnlyAnLedInTheWrongStateIsToggled) {
    led.AttentiveWait = false;
    led.Signal(true);  // dark -> lit: one toggle
    EXPECT_EQ(keyboard.Toggles(), 1);
    EXPECT_TRUE(keyboard.Lit);
    led.Signal(true);  // already lit: nothing
    EXPECT_EQ(keyboard.Toggles(), 1);
    led.Signal(false);  // lit -> dark: one toggle
    EXPECT_EQ(keyboard.Toggles(), 2);
    EXPECT_FALSE(keyboard.Lit);
    keyboard.Keys.clear();
    led.Signal(false);  // already dark: not a single key event
    EXPECT_TRUE(keyboard.Keys.empty());
    EXPECT_TRUE(keyboard.Sleeps.empty());
}

TEST_F(SlLedTest, BlinksOnlyWithFlashingAndABlinkCountAboveZero) {
    led.AttentiveWait = false;
    led.FlashEnabled = true;  // count 0
    led.Signal(true);
    led.FlashEnabled = false;
    led.SetBlinkCount(5);
    led.Signal(false);
    EXPECT_EQ(keyboard.Toggles(), 2);
    EXPECT_TRUE(keyboard.Sleeps.empty());
    EXPECT_FALSE(keyboard.Lit);
}

TEST_F(SlLedTest, FiveBlinksFromDarkAreElevenTogglesEndingLitWithNoFinalToggle) {
    led.AttentiveWait = false;
    led.FlashEnabled = true;
    led.SetBlinkCount(5);
    led.Signal(true);
    // Each toggle is followed by 150 ms, the last one included; then one
    // reading and nothing more.
    EXPECT_EQ(Trace(), Repeat("MKMKS", 11) + "R");
    EXPECT_EQ(keyboard.Toggles(), 11);
    EXPECT_EQ(keyboard.Sleeps, std::vector<DWORD>(11, 150));
    EXPECT_EQ(keyboard.Clock, 1650u);
    EXPECT_TRUE(keyboard.Lit);
}

TEST_F(SlLedTest, FiveBlinksFromLitAreElevenTogglesAndOneFinalToLightItAgain) {
    keyboard.Lit = true;
    led.AttentiveWait = false;
    led.FlashEnabled = true;
    led.SetBlinkCount(5);
    led.Signal(true);
    EXPECT_EQ(Trace(), Repeat("MKMKS", 11) + "R" + "MKMK");
    EXPECT_EQ(keyboard.Toggles(), 12);
    EXPECT_TRUE(keyboard.Lit);
}

TEST_F(SlLedTest, BlinkingToTheStateReadBeforeReturnsTheLedToWhereItWas) {
    for (bool start : {false, true}) {
        SCOPED_TRACE(start ? "from lit" : "from dark");
        keyboard.Lit = start;
        keyboard.Keys.clear();
        led.AttentiveWait = false;
        led.FlashEnabled = true;
        led.SetBlinkCount(2);
        led.Signal(led.GetLedState());
        EXPECT_EQ(keyboard.Lit, start);
        // 5 blink toggles, then one more to undo the odd count.
        EXPECT_EQ(keyboard.Toggles(), 6);
    }
}

TEST_F(SlLedTest, BlinkLoopProcessesNoMessagesButTheReadingAfterItDoes) {
    Receiver receiver;
    led.AttentiveWait = false;
    led.FlashEnabled = true;
    led.SetBlinkCount(1);
    int sleepsBeforeDelivery = 0;
    keyboard.OnSleep = [&](DWORD) {
        if (receiver.delivered == 0) ++sleepsBeforeDelivery;
    };
    receiver.Post();
    led.Signal(false);
    EXPECT_EQ(sleepsBeforeDelivery, 3);
    EXPECT_EQ(receiver.delivered, 1);
}

TEST_F(SlLedTest, ReadingProcessesPendingMessagesFirst) {
    // The key state the system reports is brought up to date by the
    // thread's pending messages: here a message lights the LED.
    led.AttentiveWait = false;
    Receiver receiver;
    receiver.onMessage = [&] { keyboard.Lit = true; };
    receiver.Post();
    EXPECT_TRUE(led.GetLedState());
    EXPECT_EQ(receiver.delivered, 1);
    EXPECT_TRUE(keyboard.Sleeps.empty());
}

TEST_F(SlLedTest, AttentiveReadingWaitsOneSecondWithMessagesProcessedBeforeAndAfter) {
    Receiver receiver;
    int deliveredAtSleep = -1;
    keyboard.OnSleep = [&](DWORD) {
        deliveredAtSleep = receiver.delivered;
        // Arrives during the pause; only the second round of processing
        // delivers it, and it changes the state being read.
        receiver.onMessage = [&] { keyboard.Lit = true; };
        receiver.Post();
    };
    receiver.Post();
    EXPECT_TRUE(led.GetLedState());
    EXPECT_EQ(deliveredAtSleep, 1);
    EXPECT_EQ(receiver.delivered, 2);
    EXPECT_EQ(keyboard.Sleeps, std::vector<DWORD>{1000});
    ASSERT_EQ(keyboard.Reads.size(), 1u);
    EXPECT_EQ(keyboard.Reads[0], 1000u);  // read after the pause
}

TEST_F(SlLedTest, AttentiveSignalWaitsBeforeItsOneReading) {
    led.FlashEnabled = true;
    led.SetBlinkCount(2);
    led.Signal(true);
    EXPECT_EQ(Trace(), Repeat("MKMKS", 5) + "SR");
    EXPECT_EQ(keyboard.Sleeps.back(), 1000u);
    EXPECT_EQ(keyboard.Clock, 5 * 150u + 1000u);
    EXPECT_TRUE(keyboard.Lit);
}

}  // namespace
