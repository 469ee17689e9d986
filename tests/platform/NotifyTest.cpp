// Desktop notifications over a private session bus: a notification server of
// the test's own receives what Vesk sends; without one nothing fails or waits.
#include "platform/Notify.h"
#include "support/PrivateBus.h"
#include "support/TestSupport.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QElapsedTimer>
#include <QObject>
#include <QStringList>
#include <QVariantMap>
#include <gtest/gtest.h>

#include <memory>

using TestSupport::WaitFor;

namespace {

class FakeNotificationServer : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    QStringList received;  // "app|summary|body" per call
    QStringList capabilities;

public slots:
    QStringList GetCapabilities() { return capabilities; }
    uint Notify(const QString& app, uint, const QString&, const QString& summary, const QString& body,
                const QStringList&, const QVariantMap&, int) {
        received << app + "|" + summary + "|" + body;
        return static_cast<uint>(received.size());
    }
};

// A session bus of the tests' own, shared by the tests of this binary (the
// program's connection to the session bus is made once per process).
class Notifications : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        bus_ = std::make_unique<TestSupport::PrivateBus>();
        address_ = bus_->Address();
        ASSERT_FALSE(address_.isEmpty()) << "dbus-daemon did not start (scripts/deps.sh status)";
        qputenv("DBUS_SESSION_BUS_ADDRESS", address_);
    }
    static void TearDownTestSuite() {
        QDBusConnection::disconnectFromBus("notification-server");
        bus_.reset();
    }

    static inline std::unique_ptr<TestSupport::PrivateBus> bus_;
    static inline QByteArray address_;
};

}  // namespace

TEST_F(Notifications, ReachTheNotificationServer) {
    QDBusConnection server = QDBusConnection::connectToBus(QString::fromUtf8(address_), "notification-server");
    ASSERT_TRUE(server.isConnected());
    FakeNotificationServer fake;
    ASSERT_TRUE(server.registerObject("/org/freedesktop/Notifications", &fake, QDBusConnection::ExportAllSlots));
    ASSERT_TRUE(server.registerService("org.freedesktop.Notifications"));

    // The server answers from this same thread, so a call that waited for
    // its answer would hang here until the bus gave up.
    QElapsedTimer clock;
    clock.start();
    EXPECT_TRUE(ShowDesktopNotification("New mail", "Home: 2 messages\nFrom: Ann <ann@example.org>"));
    EXPECT_LT(clock.elapsed(), 2000);
    ASSERT_TRUE(WaitFor([&] { return !fake.received.isEmpty(); }, 5000));
    EXPECT_EQ(fake.received.front().toStdString(), "Vesk|New mail|Home: 2 messages\nFrom: Ann <ann@example.org>");
    server.unregisterService("org.freedesktop.Notifications");
    server.unregisterObject("/org/freedesktop/Notifications");
}

// A service that renders markup gets the body's "&", "<" and ">" escaped, so
// a From line is shown as it is and never becomes markup or a link.
TEST_F(Notifications, AMarkupServiceGetsTheBodyEscaped) {
    QDBusConnection server = QDBusConnection::connectToBus(QString::fromUtf8(address_), "notification-server");
    FakeNotificationServer fake;
    fake.capabilities = {"body", "body-markup"};
    ASSERT_TRUE(server.registerObject("/org/freedesktop/Notifications", &fake, QDBusConnection::ExportAllSlots));
    ASSERT_TRUE(server.registerService("org.freedesktop.Notifications"));
    EXPECT_TRUE(ShowDesktopNotification("New mail", "From: <b>x</b> & <a href='https://e.test'>login</a>"));
    ASSERT_TRUE(WaitFor([&] { return !fake.received.isEmpty(); }, 5000));
    EXPECT_EQ(fake.received.front().toStdString(),
              "Vesk|New mail|From: &lt;b&gt;x&lt;/b&gt; &amp; &lt;a href='https://e.test'&gt;login&lt;/a&gt;");
    server.unregisterService("org.freedesktop.Notifications");
    server.unregisterObject("/org/freedesktop/Notifications");
}

TEST_F(Notifications, WithoutANotificationServerNothingFailsOrWaits) {
    QElapsedTimer clock;
    clock.start();
    ShowDesktopNotification("New mail", "Home: 1 message");
    EXPECT_LT(clock.elapsed(), 2000);
    // The unanswered call leaves no error behind for the program.
    TestSupport::WaitFor([] { return false; }, 200);
    EXPECT_TRUE(TestSupport::EscapedExceptions().empty());
}

#include "NotifyTest.moc"
