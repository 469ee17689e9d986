// The notification-area (task tray) icon and the cursor position.
//
// Shell_NotifyIconA adds or deletes an icon described by the 88-byte record
// below. While the icon shows, mouse events on it reach the owning window as
// its callback message, with the icon id as wParam and the mouse message
// (WM_RBUTTONDOWN 0x204, WM_LBUTTONDOWN 0x201, ...) as lParam.
//
// The work is done by the current tray host: by default one over
// QSystemTrayIcon; tests install TFakeTrayHost.
//
// TrayAvailable tells whether the desktop has a notification area at all (a
// tray host is running); OnTrayAvailabilityChange names a handler that runs
// on the GUI thread when one may have appeared or gone.
#pragma once

#include "platform/WinTypes.h"

#include <QIcon>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

constexpr DWORD NIM_ADD = 0;
constexpr DWORD NIM_MODIFY = 1;
constexpr DWORD NIM_DELETE = 2;
constexpr UINT NIF_MESSAGE = 1;
constexpr UINT NIF_ICON = 2;
constexpr UINT NIF_TIP = 4;

struct NOTIFYICONDATAA {
    DWORD cbSize;
    HWND hWnd;
    UINT uID;
    UINT uFlags;
    UINT uCallbackMessage;
    HICON hIcon;
    char szTip[64];
};
static_assert(sizeof(NOTIFYICONDATAA) == 88, "the notification record keeps its 88-byte form");

BOOL Shell_NotifyIconA(DWORD message, const NOTIFYICONDATAA* data);
// Sets the whole tooltip of the icon `id` of `wnd`: several lines and no
// length limit (the record's szTip holds 63 bytes). A later NIF_TIP in a
// record replaces it again. FALSE when no such icon shows.
BOOL SetNotifyIconTip(HWND wnd, UINT id, const std::string& tip);
BOOL GetCursorPos(POINT* point);
bool TrayAvailable();
// An empty handler stops the watch. One handler at a time.
void OnTrayAvailabilityChange(std::function<void()> handler);

// Icons are handed around as handles; these turn a Qt icon into one and back.
HICON RegisterIcon(const QIcon& icon);
QIcon IconOfHandle(HICON icon);

class TTrayHost {
public:
    virtual ~TTrayHost() = default;
    virtual BOOL NotifyIcon(DWORD message, const NOTIFYICONDATAA& data) = 0;
    virtual BOOL CursorPos(POINT* point) = 0;
    virtual BOOL SetTip(HWND, UINT, const std::string&) { return FALSE; }
    virtual bool Available() = 0;
    virtual void SetAvailabilityHandler(std::function<void()> handler) = 0;
};

// Installs `host` (nullptr: the real one) and returns the one it replaces.
TTrayHost* SetTrayHost(TTrayHost* host);
TTrayHost* CurrentTrayHost();

// In-memory tray for tests: records every call and keeps the icons shown.
class TFakeTrayHost : public TTrayHost {
public:
    struct Call {
        DWORD message;
        NOTIFYICONDATAA data;
    };
    BOOL NotifyIcon(DWORD message, const NOTIFYICONDATAA& data) override;
    BOOL CursorPos(POINT* point) override;
    BOOL SetTip(HWND wnd, UINT id, const std::string& tip) override;
    bool Available() override { return available; }
    void SetAvailabilityHandler(std::function<void()> handler) override { availabilityHandler = std::move(handler); }

    // A tray host starts (true) or ends (false) on the desktop: the watch's
    // handler runs, as the real desktop's notice would run it.
    void SetAvailable(bool value);

    // Delivers a mouse event on the icon `id` of `wnd` the way the desktop
    // does: the callback message posted to the owning window.
    bool Click(HWND wnd, UINT id, UINT mouseMessage);

    std::vector<Call> calls;
    std::map<std::pair<HWND, UINT>, NOTIFYICONDATAA> icons;
    // The tooltip each shown icon has now, from its record or SetTip.
    std::map<std::pair<HWND, UINT>, std::string> tips;
    POINT cursor{0, 0};
    BOOL result = TRUE;  // what NotifyIcon answers for a valid request
    bool available = true;
    std::function<void()> availabilityHandler;
};
