#include "platform/Notify.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QStringList>
#include <QVariantMap>

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");

// The body as a notification service that renders markup shows it as it is:
// "&", "<" and ">" as entities (a From line such as "Ann <ann@x>" is broken
// markup, and "<a href=...>" would be a link the server chose).
QString EscapeMarkup(const QString& text) {
    QString out;
    out.reserve(text.size());
    for (QChar c : text) {
        if (c == u'&')
            out += QStringLiteral("&amp;");
        else if (c == u'<')
            out += QStringLiteral("&lt;");
        else if (c == u'>')
            out += QStringLiteral("&gt;");
        else
            out += c;
    }
    return out;
}

// Sends the notification over the session bus as calls whose answers nobody
// blocks on: a missing daemon costs nothing and says nothing. The service's
// capabilities are asked first, since only a service that renders markup in
// the body needs it escaped (one that does not would show the entities).
class TDBusNotificationHost : public TNotificationHost {
public:
    bool Show(const std::string& summary, const std::string& body) override {
        QDBusConnection bus = QDBusConnection::sessionBus();
        if (!bus.isConnected()) return false;
        QDBusMessage ask = QDBusMessage::createMethodCall(kService, kPath, kService, QStringLiteral("GetCapabilities"));
        // A missing daemon is not started for the call.
        ask.setAutoStartService(false);
        auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(ask));
        const QString title = QString::fromUtf8(summary);
        const QString text = QString::fromUtf8(body);
        QObject::connect(watcher, &QDBusPendingCallWatcher::finished, [title, text](QDBusPendingCallWatcher* w) {
            w->deleteLater();
            const QDBusPendingReply<QStringList> caps = *w;
            if (caps.isError() && caps.error().type() == QDBusError::ServiceUnknown) return;
            const bool markup = !caps.isError() && caps.value().contains(QStringLiteral("body-markup"));
            QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kService, QStringLiteral("Notify"));
            call.setAutoStartService(false);
            call << QStringLiteral("Vesk")              // application name
                 << 0u                                  // replaces no earlier notification
                 << QStringLiteral("mail-unread")       // icon from the desktop's theme
                 << title                               //
                 << (markup ? EscapeMarkup(text) : text)  //
                 << QStringList()                       // no actions
                 << QVariantMap()                       // no hints
                 << -1;                                 // the server's own display time
            QDBusConnection::sessionBus().send(call);
        });
        return true;
    }
};

TNotificationHost* g_host = nullptr;

TNotificationHost* RealHost() {
    static TDBusNotificationHost host;
    return &host;
}

}  // namespace

TNotificationHost* SetNotificationHost(TNotificationHost* host) {
    TNotificationHost* old = CurrentNotificationHost();
    g_host = host;
    return old;
}

TNotificationHost* CurrentNotificationHost() { return g_host ? g_host : RealHost(); }

bool ShowDesktopNotification(const std::string& summary, const std::string& body) {
    return CurrentNotificationHost()->Show(summary, body);
}

bool TFakeNotificationHost::Show(const std::string& summary, const std::string& body) {
    shown.push_back({summary, body});
    return true;
}
