#include "platform/Window.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QObject>
#include <QTimerEvent>

#include <algorithm>
#include <climits>
#include <exception>
#include <memory>
#include <mutex>
#include <map>
#include <unordered_map>

namespace {

const QEvent::Type kPostedMessageEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

struct PostedMessageEvent : QEvent {
    PostedMessageEvent(HWND w, UINT m, WPARAM wp, LPARAM lp)
        : QEvent(kPostedMessageEvent), wnd(w), msg(m), wParam(wp), lParam(lp) {}
    HWND wnd;
    UINT msg;
    WPARAM wParam;
    LPARAM lParam;
};

struct WindowEntry {
    TWndMethod proc;
};

// Receives the posted-message events on the GUI thread and hands each to the
// procedure of its window, if that window still exists. Also runs the
// windows' timers: one Qt timer per window and timer id.
class MessageDispatcher : public QObject {
public:
    bool event(QEvent* e) override {
        if (e->type() != kPostedMessageEvent) return QObject::event(e);
        auto* pm = static_cast<PostedMessageEvent*>(e);
        SendMessageA(pm->wnd, pm->msg, pm->wParam, pm->lParam);
        return true;
    }

    void Start(HWND wnd, UINT id, UINT ms) {
        Stop(wnd, id);
        const int qtId = startTimer(static_cast<int>(std::min<UINT>(ms, INT32_MAX)));
        FTimers[{wnd, id}] = qtId;
        FOwners[qtId] = {wnd, id};
    }

    bool Stop(HWND wnd, UINT id) {
        auto it = FTimers.find({wnd, id});
        if (it == FTimers.end()) return false;
        killTimer(it->second);
        FOwners.erase(it->second);
        FTimers.erase(it);
        return true;
    }

    void StopAll(HWND wnd) {
        auto it = FTimers.lower_bound({wnd, 0});
        while (it != FTimers.end() && it->first.first == wnd) {
            killTimer(it->second);
            FOwners.erase(it->second);
            it = FTimers.erase(it);
        }
    }

protected:
    void timerEvent(QTimerEvent* e) override {
        auto it = FOwners.find(e->timerId());
        if (it == FOwners.end()) return;
        const auto [wnd, id] = it->second;
        SendMessageA(wnd, WM_TIMER, id, 0);
    }

private:
    std::map<std::pair<HWND, UINT>, int> FTimers;  // window and id -> Qt timer
    std::map<int, std::pair<HWND, UINT>> FOwners;  // Qt timer -> window and id
};

struct Registry {
    std::mutex lock;
    std::unordered_map<HWND, std::shared_ptr<WindowEntry>> windows;
    HWND next = 1;
    MessageDispatcher* dispatcher = nullptr;
    std::function<void(const std::exception&)> onException;
};

Registry& TheRegistry() {
    static Registry r;
    return r;
}

MessageDispatcher* TheDispatcher() {
    Registry& r = TheRegistry();
    if (!r.dispatcher) {
        // Lives on the GUI thread (the thread that allocates the first window)
        // and is deleted with the application object.
        r.dispatcher = new MessageDispatcher;
        if (auto* app = QCoreApplication::instance()) {
            r.dispatcher->moveToThread(app->thread());
            QObject::connect(app, &QObject::destroyed, [] {
                std::lock_guard<std::mutex> g(TheRegistry().lock);
                TheRegistry().dispatcher = nullptr;
            });
            r.dispatcher->setParent(app);
        }
    }
    return r.dispatcher;
}

}  // namespace

HWND AllocateHWnd(TWndMethod proc) {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> g(r.lock);
    TheDispatcher();
    HWND wnd = r.next++;
    if (r.next == 0) r.next = 1;
    r.windows[wnd] = std::make_shared<WindowEntry>(WindowEntry{std::move(proc)});
    return wnd;
}

void DeallocateHWnd(HWND wnd) {
    std::shared_ptr<WindowEntry> keep;  // released outside the lock
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> g(r.lock);
    auto it = r.windows.find(wnd);
    if (it == r.windows.end()) return;
    keep = std::move(it->second);
    r.windows.erase(it);
    if (r.dispatcher) r.dispatcher->StopAll(wnd);
}

BOOL IsWindow(HWND wnd) {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> g(r.lock);
    return r.windows.count(wnd) ? TRUE : FALSE;
}

BOOL PostMessageA(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> g(r.lock);
    if (!r.windows.count(wnd) || !r.dispatcher) return FALSE;
    QCoreApplication::postEvent(r.dispatcher, new PostedMessageEvent(wnd, msg, wParam, lParam));
    return TRUE;
}

LRESULT SendMessageA(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    std::shared_ptr<WindowEntry> entry;
    std::function<void(const std::exception&)> onException;
    {
        Registry& r = TheRegistry();
        std::lock_guard<std::mutex> g(r.lock);
        auto it = r.windows.find(wnd);
        if (it == r.windows.end()) return 0;
        entry = it->second;  // keeps the procedure alive while it runs
        onException = r.onException;
    }
    TMessage m{msg, wParam, lParam, 0};
    try {
        if (entry->proc) entry->proc(m);
    } catch (const std::exception& e) {
        if (onException) onException(e);
    }
    return m.Result;
}

UINT SetTimer(HWND wnd, UINT id, UINT ms) {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> g(r.lock);
    if (!r.windows.count(wnd) || !r.dispatcher) return 0;
    r.dispatcher->Start(wnd, id, ms);
    return id;
}

BOOL KillTimer(HWND wnd, UINT id) {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> g(r.lock);
    return r.dispatcher && r.dispatcher->Stop(wnd, id) ? TRUE : FALSE;
}

LRESULT DefWindowProcA(HWND, UINT, WPARAM, LPARAM) { return 0; }

DWORD GetTickCount() {
    static QElapsedTimer clock = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    // Start well above zero so that a tick count is never mistaken for "unset".
    return static_cast<DWORD>(static_cast<std::uint64_t>(clock.elapsed()) + 1000u);
}

void SetWindowProcExceptionHandler(std::function<void(const std::exception&)> handler) {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> g(r.lock);
    r.onException = std::move(handler);
}
