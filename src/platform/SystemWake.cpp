#include "platform/SystemWake.h"

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QTimer>

namespace {

const QString kLogin = QStringLiteral("org.freedesktop.login1");
const QString kLoginPath = QStringLiteral("/org/freedesktop/login1");
const QString kLoginManager = QStringLiteral("org.freedesktop.login1.Manager");
const QString kNetwork = QStringLiteral("org.freedesktop.NetworkManager");
const QString kNetworkPath = QStringLiteral("/org/freedesktop/NetworkManager");

// NetworkManager's state with full connectivity (NM_STATE_CONNECTED_GLOBAL);
// every other state is below it.
constexpr uint kConnectedGlobal = 70;
// How long the first signal of a burst waits for the others.
constexpr int kBurstMs = 2000;

// The system bus as the D-Bus library finds it. Each listener opens its own
// connection to it (the shared system-bus connection would read the address
// once per process).
QString SystemBusAddress() {
    const QByteArray set = qgetenv("DBUS_SYSTEM_BUS_ADDRESS");
    return set.isEmpty() ? QStringLiteral("unix:path=/run/dbus/system_bus_socket") : QString::fromUtf8(set);
}

}  // namespace

class TWakeListener : public QObject {
    Q_OBJECT
public:
    explicit TWakeListener(TSystemWake* Owner)
        : FOwner(Owner),
          FName(QStringLiteral("vesk-wake-%1").arg(++Count)),
          FBus(QDBusConnection::connectToBus(SystemBusAddress(), FName)) {
        FBurst.setSingleShot(true);
        FBurst.setInterval(kBurstMs);
        connect(&FBurst, &QTimer::timeout, this, [this] { FOwner->Emit(FWhy); });
        if (!FBus.isConnected()) return;
        // With the service named, only messages from the name's current owner
        // reach the slots.
        FBus.connect(kLogin, kLoginPath, kLoginManager, QStringLiteral("PrepareForSleep"), this,
                     SLOT(PrepareForSleep(bool)));
        FBus.connect(kNetwork, kNetworkPath, kNetwork, QStringLiteral("StateChanged"), this, SLOT(StateChanged(uint)));
    }

    // The connection closes when FBus, its last holder, goes.
    ~TWakeListener() override { QDBusConnection::disconnectFromBus(FName); }

    bool Listening() const { return FBus.isConnected(); }

private slots:
    void PrepareForSleep(bool Sleeping) {
        if (Sleeping)
            FBurst.stop();  // a check now would die with the sleep
        else
            Wake("resume");
    }

    void StateChanged(uint State) {
        const uint before = FState;
        FState = State;
        if (State == kConnectedGlobal && before != kConnectedGlobal) Wake("network");
    }

private:
    void Wake(const char* Why) {
        if (FBurst.isActive()) return;
        FWhy = Why;
        FBurst.start();
    }

    static inline int Count = 0;
    TSystemWake* FOwner;
    QString FName;
    QDBusConnection FBus;
    QTimer FBurst;
    std::string FWhy;
    uint FState = 0;  // NetworkManager's last state; 0 (unknown) until one is heard
};

TSystemWake::TSystemWake() : FListener(std::make_unique<TWakeListener>(this)) {}

TSystemWake::~TSystemWake() = default;

bool TSystemWake::Listening() const { return FListener->Listening(); }

void TSystemWake::Emit(const std::string& Why) {
    auto wake = OnWake;  // the handler may replace itself
    if (wake) wake(Why);
}

#include "SystemWake.moc"
