// The wake watch against a private bus standing in for the system bus: the
// test's own connection owns the login manager's and NetworkManager's names
// and sends their signals. A wake comes two seconds after the first signal of
// its burst, with that signal's reason: the tests send what must not wake
// before what must, so a wrong wake shows as the wrong reason.
#include "platform/SystemWake.h"
#include "support/EnvScope.h"
#include "support/PrivateBus.h"
#include "support/TestSupport.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QVariant>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

using Whys = std::vector<std::string>;

using TestSupport::PrivateBus;

void SendSleep(QDBusConnection& from, bool sleeping) { PrivateBus::SendPrepareForSleep(from, sleeping); }

void SendNetworkState(QDBusConnection& from, uint state) {
    PrivateBus::Send(from, QDBusMessage::createSignal("/org/freedesktop/NetworkManager", "org.freedesktop.NetworkManager",
                                          "StateChanged")
                   << state);
}

class SystemWake : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(bus_.Address().isEmpty()) << "dbus-daemon did not start (scripts/deps.sh status)";
        ASSERT_TRUE(services_.registerService("org.freedesktop.login1"));
        ASSERT_TRUE(services_.registerService("org.freedesktop.NetworkManager"));
        wake_ = std::make_unique<TSystemWake>();
        wake_->OnWake = [this](const std::string& why) { whys_.push_back(why); };
        ASSERT_TRUE(wake_->Listening());
    }
    void TearDown() override {
        wake_.reset();
        QDBusConnection::disconnectFromBus("wake-services");
        QDBusConnection::disconnectFromBus("wake-impostor");
    }

    void Sleep(bool sleeping) { SendSleep(services_, sleeping); }
    void Network(uint state) { SendNetworkState(services_, state); }
    bool Wakes(std::size_t count) {
        return TestSupport::WaitFor([&] { return whys_.size() >= count; }, 10000);
    }

    TestSupport::PrivateBus bus_;
    TestSupport::EnvScope system_{"DBUS_SYSTEM_BUS_ADDRESS", bus_.Address().constData()};
    QDBusConnection services_ = QDBusConnection::connectToBus(QString::fromUtf8(bus_.Address()), "wake-services");
    std::unique_ptr<TSystemWake> wake_;
    Whys whys_;
};

}  // namespace

// The resume a process without the login manager's name claims is not
// believed, nor is going to sleep a wake.
TEST_F(SystemWake, GoingToSleepOrAnImpostorIsNoResume) {
    QDBusConnection impostor = QDBusConnection::connectToBus(QString::fromUtf8(bus_.Address()), "wake-impostor");
    Sleep(true);
    SendSleep(impostor, false);
    Network(20);
    Network(70);
    ASSERT_TRUE(Wakes(1));
    EXPECT_EQ(whys_, Whys{"network"});
}

// NetworkManager's usual burst with a resume in it: one wake, for the resume
// (states short of global connectivity are none); a state repeated later is
// none either, the next wake is the resume after it.
TEST_F(SystemWake, ABurstGivesOneWake) {
    for (uint state : {20u, 50u, 60u}) Network(state);
    Sleep(false);
    for (uint state : {70u, 20u, 70u, 70u}) Network(state);
    ASSERT_TRUE(Wakes(1));
    Network(70);
    Sleep(false);
    ASSERT_TRUE(Wakes(2));
    EXPECT_EQ(whys_, (Whys{"resume", "resume"}));
}

// No bus: no connection, no message, and a wake fired by hand still arrives.
TEST(SystemWakeWithoutBus, StaysQuietAndEmitStillReports) {
    TestSupport::TempDir dir;
    const std::string nowhere = "unix:path=" + dir.File("no-bus");
    TestSupport::EnvScope system("DBUS_SYSTEM_BUS_ADDRESS", nowhere.c_str());
    static int messages = 0;
    QtMessageHandler previous =
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) { ++messages; });
    Whys whys;
    {
        TSystemWake wake;
        EXPECT_FALSE(wake.Listening());
        wake.OnWake = [&](const std::string& why) { whys.push_back(why); };
        wake.Emit("resume");
        TSystemWake another;
        EXPECT_FALSE(another.Listening());
    }
    qInstallMessageHandler(previous);
    EXPECT_EQ(messages, 0);
    EXPECT_EQ(whys, Whys{"resume"});
}
