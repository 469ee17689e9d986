// The real keyboard LED backends: the X keyboard extension's "Scroll Lock"
// indicator on the private Xvfb display, the kernel LED class in a folder laid
// out like /sys/class/leds, and the in-memory LED.
#include "signals/SlLed.h"

#include "DesktopFixtures.h"
#include "platform/Keyboard.h"
#include "support/EnvScope.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>

namespace {

using namespace DesktopFixtures;

// Installs a keyboard host for one test.
class HostScope {
public:
    explicit HostScope(TKeyboardHost* host) : previous_(SetKeyboardHost(host)) {}
    ~HostScope() { SetKeyboardHost(previous_); }

private:
    TKeyboardHost* previous_;
};

TEST(X11Keyboard, SignalLightsAndDarkensTheScrollLockIndicator) {
    const std::string display = XDisplay();
    XsetSetScrollLock(display, false);
    auto host = OpenX11KeyboardHost(display.c_str());
    ASSERT_TRUE(host);
    EXPECT_EQ(host->Kind(), "x11");
    HostScope scope(host.get());

    TSlLed led;
    led.AttentiveWait = false;
    EXPECT_FALSE(led.GetLedState());
    led.Signal(true);
    EXPECT_TRUE(XsetScrollLock(display));
    EXPECT_TRUE(led.GetLedState());
    led.Signal(false);
    EXPECT_FALSE(XsetScrollLock(display));
    EXPECT_FALSE(led.GetLedState());
}

TEST(X11Keyboard, BlinkingLeavesTheIndicatorWhereAsked) {
    const std::string display = XDisplay();
    XsetSetScrollLock(display, true);
    auto host = OpenX11KeyboardHost(display.c_str());
    ASSERT_TRUE(host);
    HostScope scope(host.get());

    TSlLed led;
    led.FlashEnabled = true;
    led.SetBlinkCount(2);
    led.Signal(true);  // from lit, with the attentive pause
    EXPECT_TRUE(XsetScrollLock(display));
    led.AttentiveWait = false;
    led.Signal(false);
    EXPECT_FALSE(XsetScrollLock(display));
    led.Signal(led.GetLedState());
    EXPECT_FALSE(XsetScrollLock(display));
}

TEST(X11Keyboard, StateIsReadFromTheServerAndOnlyKeyDownTogglesIt) {
    const std::string display = XDisplay();
    XsetSetScrollLock(display, false);
    auto host = OpenX11KeyboardHost(display.c_str());
    ASSERT_TRUE(host);
    HostScope scope(host.get());

    // Changed by someone else: the next reading sees it.
    XsetSetScrollLock(display, true);
    EXPECT_EQ(GetKeyState(VK_SCROLL) & 1, 1);
    XsetSetScrollLock(display, false);
    EXPECT_EQ(GetKeyState(VK_SCROLL) & 1, 0);

    keybd_event(VK_SCROLL, 0x46, KEYEVENTF_EXTENDEDKEY, 0);
    EXPECT_TRUE(XsetScrollLock(display));
    EXPECT_EQ(GetKeyState(VK_SCROLL), static_cast<SHORT>(0x8001));  // held down and on
    keybd_event(VK_SCROLL, 0x46, KEYEVENTF_EXTENDEDKEY | KEYEVENTF_KEYUP, 0);
    EXPECT_TRUE(XsetScrollLock(display));
    EXPECT_EQ(GetKeyState(VK_SCROLL), 1);
    // Other keys neither toggle it nor have a state here.
    keybd_event(VK_NUMLOCK, 0x45, KEYEVENTF_EXTENDEDKEY, 0);
    keybd_event(VK_NUMLOCK, 0x45, KEYEVENTF_EXTENDEDKEY | KEYEVENTF_KEYUP, 0);
    EXPECT_TRUE(XsetScrollLock(display));
    EXPECT_EQ(GetKeyState(VK_NUMLOCK), 0);
    EXPECT_EQ(MapVirtualKeyA(VK_SCROLL, MAPVK_VK_TO_VSC), 0x46u);
    EXPECT_EQ(MapVirtualKeyA(0x46, MAPVK_VSC_TO_VK), 0x91u);
    EXPECT_EQ(MapVirtualKeyA('A', MAPVK_VK_TO_VSC), 0u);
}

TEST(X11Keyboard, ADisplayThatGoesAwayDoesNotEndTheProgram) {
    // A display of its own, stopped under the open connection.
    TestSupport::TempDir dir;
    const QString script = VESK_SOURCE_DIR "/scripts/fixtures/xvfb.sh";
    ASSERT_EQ(RunTool(script, {"start", QString::fromStdString(dir.Path())}).exitCode, 0);
    std::string display = TestSupport::ReadFile(dir.File("display"));
    display.erase(display.find_last_not_of('\n') + 1);
    auto host = OpenX11KeyboardHost(display.c_str());
    ASSERT_TRUE(host);
    HostScope scope(host.get());
    keybd_event(VK_SCROLL, 0x46, KEYEVENTF_EXTENDEDKEY, 0);
    keybd_event(VK_SCROLL, 0x46, KEYEVENTF_EXTENDEDKEY | KEYEVENTF_KEYUP, 0);
    EXPECT_EQ(GetKeyState(VK_SCROLL), 1);

    ASSERT_EQ(RunTool(script, {"stop", QString::fromStdString(dir.Path())}).exitCode, 0);
    // The last known state stays, and toggles still change it.
    EXPECT_EQ(GetKeyState(VK_SCROLL), 1);
    keybd_event(VK_SCROLL, 0x46, KEYEVENTF_EXTENDEDKEY, 0);
    keybd_event(VK_SCROLL, 0x46, KEYEVENTF_EXTENDEDKEY | KEYEVENTF_KEYUP, 0);
    EXPECT_EQ(GetKeyState(VK_SCROLL), 0);
}

// A folder laid out like /sys/class/leds with two keyboards' Scroll Lock LEDs
// (one with brightness levels), a Caps Lock LED and a broken entry.
class SysfsKeyboard : public ::testing::Test {
protected:
    void SetUp() override {
        Led("input3::scrolllock", "0\n", "1\n");
        Led("input7::scrolllock", "0\n", "255\n");
        Led("input3::capslock", "0\n", "1\n");
        std::filesystem::create_directories(dir.File("input9::scrolllock"));  // no brightness file
    }

    void Led(const std::string& name, const std::string& brightness, const std::string& max) {
        std::filesystem::create_directories(dir.File(name));
        TestSupport::WriteFile(dir.File(name + "/brightness"), brightness);
        TestSupport::WriteFile(dir.File(name + "/max_brightness"), max);
    }
    std::string Brightness(const std::string& name) { return TestSupport::ReadFile(dir.File(name + "/brightness")); }

    TestSupport::TempDir dir;
};

TEST_F(SysfsKeyboard, SignalSetsEveryScrollLockLedAndReadsTheFirst) {
    auto host = OpenSysfsKeyboardHost(dir.Path());
    ASSERT_TRUE(host);
    EXPECT_EQ(host->Kind(), "sysfs");
    HostScope scope(host.get());

    TSlLed led;
    led.AttentiveWait = false;
    led.FlashEnabled = true;
    led.SetBlinkCount(1);
    led.Signal(true);
    EXPECT_EQ(Brightness("input3::scrolllock"), "1\n");
    EXPECT_EQ(Brightness("input7::scrolllock"), "255\n");
    EXPECT_EQ(Brightness("input3::capslock"), "0\n");
    EXPECT_FALSE(std::filesystem::exists(dir.File("input9::scrolllock/brightness")));
    led.Signal(false);
    EXPECT_EQ(Brightness("input3::scrolllock"), "0\n");
    EXPECT_EQ(Brightness("input7::scrolllock"), "0\n");

    // Lit by the keyboard itself: the next reading sees it.
    TestSupport::WriteFile(dir.File("input3::scrolllock/brightness"), "1\n");
    EXPECT_TRUE(led.GetLedState());
}

TEST_F(SysfsKeyboard, AutomaticChoiceTakesTheDisplayThenTheKernelLedsThenMemory) {
    TestSupport::EnvScope wayland("WAYLAND_DISPLAY", nullptr), session("XDG_SESSION_TYPE", "x11");
    EXPECT_EQ(ChooseKeyboardHost(XDisplay().c_str(), dir.Path())->Kind(), "x11");
    EXPECT_EQ(ChooseKeyboardHost("", dir.Path())->Kind(), "sysfs");
    EXPECT_FALSE(OpenX11KeyboardHost(":4095"));
    EXPECT_EQ(ChooseKeyboardHost(":4095", dir.Path())->Kind(), "sysfs");
    TestSupport::TempDir empty;
    EXPECT_FALSE(OpenSysfsKeyboardHost(empty.Path()));
    EXPECT_FALSE(OpenSysfsKeyboardHost(empty.File("missing")));
    EXPECT_EQ(ChooseKeyboardHost("", empty.Path())->Kind(), "memory");
}

// Under Wayland the X display is Xwayland's, whose indicator no keyboard
// shows: the kernel LED comes first and the X11 one is never taken; when
// only the LED in memory is left, the user is told once how to fix it.
TEST_F(SysfsKeyboard, UnderWaylandTheKernelLedComesFirstAndTheX11OneIsNotUsed) {
    const std::string display = XDisplay();
    TestSupport::TempDir empty;
    for (auto [waylandDisplay, sessionType] : {std::pair<const char*, const char*>{"wayland-0", nullptr},
                                              std::pair<const char*, const char*>{nullptr, "wayland"},
                                              std::pair<const char*, const char*>{"wayland-1", "x11"}}) {
        TestSupport::EnvScope wayland("WAYLAND_DISPLAY", waylandDisplay), session("XDG_SESSION_TYPE", sessionType);
        EXPECT_TRUE(WaylandSession());
        std::string notice;
        EXPECT_EQ(ChooseKeyboardHost(display.c_str(), dir.Path(), &notice)->Kind(), "sysfs");
        EXPECT_EQ(notice, "");
        EXPECT_EQ(ChooseKeyboardHost(display.c_str(), empty.Path(), &notice)->Kind(), "memory");
        EXPECT_NE(notice.find("Wayland"), std::string::npos) << notice;
        EXPECT_NE(notice.find("70-vesk-scrolllock.rules"), std::string::npos) << notice;
        EXPECT_EQ(notice.find('\n'), std::string::npos) << "one line";
    }

    // An X11 session keeps the display first, and says nothing while a real
    // LED is found.
    TestSupport::EnvScope wayland("WAYLAND_DISPLAY", ""), session("XDG_SESSION_TYPE", "x11");
    EXPECT_FALSE(WaylandSession());
    std::string notice;
    EXPECT_EQ(ChooseKeyboardHost(display.c_str(), empty.Path(), &notice)->Kind(), "x11");
    EXPECT_EQ(notice, "");
    EXPECT_EQ(ChooseKeyboardHost(":4095", empty.Path(), &notice)->Kind(), "memory");
    EXPECT_NE(notice.find("no X display"), std::string::npos) << notice;
}

}  // namespace
