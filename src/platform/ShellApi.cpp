#include "platform/ShellApi.h"

#include "platform/Window.h"

#include <QCursor>
#include <QGuiApplication>
#include <QSystemTrayIcon>
#include <QPointer>
#include <QTimer>

#include <cstring>
#include <memory>

namespace {

std::map<HICON, QIcon>& iconTable() {
    static std::map<HICON, QIcon> table;
    return table;
}

std::string TipOf(const NOTIFYICONDATAA& d) {
    return std::string(d.szTip, strnlen(d.szTip, sizeof d.szTip));
}

// The real tray: one QSystemTrayIcon per (window, id). When no tray host is
// running the icon is kept anyway and docks as soon as one starts.
class TQtTrayHost : public TTrayHost {
public:
    BOOL NotifyIcon(DWORD message, const NOTIFYICONDATAA& d) override {
        auto key = std::make_pair(d.hWnd, d.uID);
        switch (message) {
        case NIM_ADD: {
            if (FIcons.count(key)) return FALSE;
            auto icon = std::make_unique<QSystemTrayIcon>();
            Apply(*icon, d);
            HWND wnd = d.hWnd;
            UINT id = d.uID;
            UINT callback = d.uCallbackMessage;
            bool wantsMessages = d.uFlags & NIF_MESSAGE;
            QObject::connect(icon.get(), &QSystemTrayIcon::activated,
                             [wnd, id, callback, wantsMessages](QSystemTrayIcon::ActivationReason r) {
                                 if (!wantsMessages) return;
                                 UINT mouse = 0;
                                 switch (r) {
                                 case QSystemTrayIcon::Context: mouse = WM_RBUTTONDOWN; break;
                                 case QSystemTrayIcon::Trigger: mouse = WM_LBUTTONDOWN; break;
                                 case QSystemTrayIcon::DoubleClick: mouse = 0x203; break;
                                 case QSystemTrayIcon::MiddleClick: mouse = 0x207; break;
                                 default: return;
                                 }
                                 PostMessageA(wnd, callback, id, static_cast<LPARAM>(mouse));
                             });
            icon->show();
            FIcons[key] = std::move(icon);
            return QSystemTrayIcon::isSystemTrayAvailable() ? TRUE : FALSE;
        }
        case NIM_MODIFY: {
            auto it = FIcons.find(key);
            if (it == FIcons.end()) return FALSE;
            Apply(*it->second, d);
            return TRUE;
        }
        case NIM_DELETE:
            return FIcons.erase(key) ? TRUE : FALSE;
        default:
            return FALSE;
        }
    }

    BOOL SetTip(HWND wnd, UINT id, const std::string& tip) override {
        auto it = FIcons.find(std::make_pair(wnd, id));
        if (it == FIcons.end()) return FALSE;
        it->second->setToolTip(QString::fromLocal8Bit(tip));
        return TRUE;
    }

    BOOL CursorPos(POINT* p) override {
        QPoint q = QCursor::pos();
        p->x = q.x();
        p->y = q.y();
        return TRUE;
    }

    bool Available() override { return QSystemTrayIcon::isSystemTrayAvailable(); }

    // On X11 the platform plugin announces every change of the tray host's
    // window (systemTrayWindowChanged on its native interface; it is what
    // docks a waiting icon), and the handler runs on each. Elsewhere
    // (Wayland, offscreen) Qt announces nothing, so it runs every 30 s while
    // it is set.
    void SetAvailabilityHandler(std::function<void()> handler) override {
        FHandler = std::move(handler);
        QObject::disconnect(FAnnouncement);
        // This may run inside the timer's own timeout, so the timer is only
        // stopped; it lives as long as the application object.
        if (FTimer) FTimer->stop();
        if (!FHandler) return;
        if (!FTimer) {
            FTimer = new QTimer(QCoreApplication::instance());
            QObject::connect(FTimer, &QTimer::timeout, [this] { Run(); });
        }
        // The native interface is a QObject (its class derives from QObject
        // alone), but its header is not public.
        QObject* native = reinterpret_cast<QObject*>(QGuiApplication::platformNativeInterface());
        if (native && native->metaObject()->indexOfSignal("systemTrayWindowChanged(QScreen*)") >= 0) {
            // The signal is the plugin's own, known by its text only; it
            // starts a zero-delay single shot, so the handler runs from the
            // event loop once the plugin has taken the change in.
            FTimer->setSingleShot(true);
            FTimer->setInterval(0);
            FAnnouncement = QObject::connect(native, SIGNAL(systemTrayWindowChanged(QScreen*)), FTimer, SLOT(start()));
        } else {
            FTimer->setSingleShot(false);
            FTimer->setInterval(30000);
            FTimer->start();
        }
    }

private:
    void Run() {
        auto handler = FHandler;  // the handler may replace itself
        if (handler) handler();
    }

private:
    static void Apply(QSystemTrayIcon& icon, const NOTIFYICONDATAA& d) {
        if (d.uFlags & NIF_ICON) icon.setIcon(IconOfHandle(d.hIcon));
        if (d.uFlags & NIF_TIP) icon.setToolTip(QString::fromLocal8Bit(TipOf(d)));
    }

    std::map<std::pair<HWND, UINT>, std::unique_ptr<QSystemTrayIcon>> FIcons;
    std::function<void()> FHandler;
    QPointer<QTimer> FTimer;
    QMetaObject::Connection FAnnouncement;
};

TTrayHost* g_host = nullptr;

TTrayHost* RealHost() {
    static TQtTrayHost host;
    return &host;
}

}  // namespace

TTrayHost* SetTrayHost(TTrayHost* host) {
    TTrayHost* old = CurrentTrayHost();
    g_host = host;
    return old;
}

TTrayHost* CurrentTrayHost() { return g_host ? g_host : RealHost(); }

BOOL Shell_NotifyIconA(DWORD message, const NOTIFYICONDATAA* data) {
    if (!data || data->cbSize < sizeof(NOTIFYICONDATAA)) return FALSE;
    return CurrentTrayHost()->NotifyIcon(message, *data);
}

BOOL SetNotifyIconTip(HWND wnd, UINT id, const std::string& tip) { return CurrentTrayHost()->SetTip(wnd, id, tip); }

BOOL GetCursorPos(POINT* point) {
    if (!point) return FALSE;
    return CurrentTrayHost()->CursorPos(point);
}

bool TrayAvailable() { return CurrentTrayHost()->Available(); }

void OnTrayAvailabilityChange(std::function<void()> handler) {
    CurrentTrayHost()->SetAvailabilityHandler(std::move(handler));
}

HICON RegisterIcon(const QIcon& icon) {
    auto& table = iconTable();
    HICON handle = static_cast<HICON>(table.size() + 1);
    table[handle] = icon;
    return handle;
}

QIcon IconOfHandle(HICON icon) {
    auto& table = iconTable();
    auto it = table.find(icon);
    return it == table.end() ? QIcon() : it->second;
}

BOOL TFakeTrayHost::NotifyIcon(DWORD message, const NOTIFYICONDATAA& data) {
    calls.push_back({message, data});
    auto key = std::make_pair(data.hWnd, data.uID);
    switch (message) {
    case NIM_ADD:
        if (icons.count(key)) return FALSE;
        icons[key] = data;
        if (data.uFlags & NIF_TIP) tips[key] = TipOf(data);
        return result;
    case NIM_MODIFY:
        if (!icons.count(key)) return FALSE;
        icons[key] = data;
        if (data.uFlags & NIF_TIP) tips[key] = TipOf(data);
        return result;
    case NIM_DELETE:
        tips.erase(key);
        return icons.erase(key) ? result : FALSE;
    default:
        return FALSE;
    }
}

BOOL TFakeTrayHost::SetTip(HWND wnd, UINT id, const std::string& tip) {
    auto key = std::make_pair(wnd, id);
    if (!icons.count(key)) return FALSE;
    tips[key] = tip;
    return result;
}

BOOL TFakeTrayHost::CursorPos(POINT* point) {
    *point = cursor;
    return TRUE;
}

bool TFakeTrayHost::Click(HWND wnd, UINT id, UINT mouseMessage) {
    auto it = icons.find({wnd, id});
    if (it == icons.end() || !(it->second.uFlags & NIF_MESSAGE)) return false;
    return PostMessageA(wnd, it->second.uCallbackMessage, id, static_cast<LPARAM>(mouseMessage));
}

void TFakeTrayHost::SetAvailable(bool value) {
    available = value;
    auto handler = availabilityHandler;  // the handler may replace itself
    if (handler) handler();
}
