// A D-Bus daemon of the test's own (dbus-daemon with the session bus
// configuration, where any client may own any name), listening on a socket
// in a temporary folder: started by the constructor, killed by the
// destructor. Address() is empty when it could not be started.
#pragma once

#include "support/TestSupport.h"

#include <QByteArray>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QProcess>
#include <QString>

namespace TestSupport {

class PrivateBus {
public:
    PrivateBus() {
        daemon_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        daemon_.start("dbus-daemon", {"--session", "--nofork", "--print-address=1",
                                      QString::fromStdString("--address=unix:path=" + dir_.File("bus"))});
        if (daemon_.waitForStarted(5000) && WaitFor([this] { return daemon_.canReadLine(); }, 5000))
            address_ = daemon_.readLine().trimmed();
    }
    ~PrivateBus() {
        daemon_.kill();
        daemon_.waitForFinished(5000);
    }
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    const QByteArray& Address() const { return address_; }

    // Sends `signal` from `from` and waits for the bus to answer a call made
    // after it, so the bus has passed it on: signals from different
    // connections then arrive in the order they were sent.
    static void Send(QDBusConnection& from, const QDBusMessage& signal) {
        from.send(signal);
        from.call(QDBusMessage::createMethodCall("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                 "org.freedesktop.DBus", "GetId"));
    }
    // The login manager's word that the machine resumed (false) or is about
    // to sleep (true).
    static void SendPrepareForSleep(QDBusConnection& from, bool sleeping) {
        Send(from, QDBusMessage::createSignal("/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                                              "PrepareForSleep")
                       << sleeping);
    }

private:
    TempDir dir_;
    QProcess daemon_;
    QByteArray address_;
};

}  // namespace TestSupport
