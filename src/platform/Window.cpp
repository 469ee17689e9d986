#include "platform/Window.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QObject>
#include <QTimerEvent>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <map>
#include <unordered_map>

namespace {

// Asks the dispatcher to deliver the queued messages.
const QEvent::Type kDeliverPostedEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

struct PostedMessage {
    HWND wnd;
    UINT msg;
    WPARAM wParam;
    LPARAM lParam;
    std::uint64_t serial;  // order of posting
};

struct WindowEntry {
    TWndMethod proc;
};

void DeliverPosted();

// Delivers the queued messages on the GUI thread, each to the procedure of
// its window if that window still exists. Also runs the windows' timers: one
// Qt timer per window and timer id.
class MessageDispatcher : public QObject {
public:
    bool event(QEvent* e) override {
        if (e->type() != kDeliverPostedEvent) return QObject::event(e);
        DeliverPosted();
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

// Posted messages wait in one queue of our own; the event loop is woken by
// one Qt event per batch rather than one per message, since every Qt event
// posted also writes to the loop's wake-up descriptor (a check of many
// accounts posts dozens of messages per connection).
struct Registry {
    std::mutex lock;
    std::unordered_map<HWND, std::shared_ptr<WindowEntry>> windows;
    HWND next = 1;
    MessageDispatcher* dispatcher = nullptr;
    std::function<void(const std::exception&)> onException;
    std::deque<PostedMessage> queue;
    std::uint64_t nextSerial = 0;
    bool deliveryAsked = false;  // a delivery event is waiting in Qt's queue
};

Registry& TheRegistry() {
    static Registry r;
    return r;
}

// Posts a delivery event unless one is waiting already. Called with the
// registry's lock held.
void AskForDelivery(Registry& r) {
    if (r.deliveryAsked || !r.dispatcher) return;
    r.deliveryAsked = true;
    QCoreApplication::postEvent(r.dispatcher, new QEvent(kDeliverPostedEvent));
}

// Delivers the messages posted before this delivery began, oldest first.
// Each is taken from the queue just before it is delivered, so that an event
// loop a procedure runs goes on with the next ones in order. Messages posted
// meanwhile wait for the next delivery event: a delivery event is waiting
// whenever the queue holds a message no running delivery will take.
void DeliverPosted() {
    Registry& r = TheRegistry();
    std::uint64_t end;
    {
        std::lock_guard<std::mutex> g(r.lock);
        r.deliveryAsked = false;
        end = r.nextSerial;
    }
    for (;;) {
        PostedMessage m;
        {
            std::lock_guard<std::mutex> g(r.lock);
            if (r.queue.empty() || r.queue.front().serial >= end) return;
            m = r.queue.front();
            r.queue.pop_front();
            // An event loop run by the procedure needs a delivery event of
            // its own to see the rest.
            if (!r.queue.empty()) AskForDelivery(r);
        }
        SendMessageA(m.wnd, m.msg, m.wParam, m.lParam);
    }
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
                Registry& reg = TheRegistry();
                std::lock_guard<std::mutex> g(reg.lock);
                reg.dispatcher = nullptr;
                // Messages not delivered by now are dropped with the loop.
                reg.queue.clear();
                reg.deliveryAsked = false;
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
    r.queue.push_back(PostedMessage{wnd, msg, wParam, lParam, r.nextSerial++});
    AskForDelivery(r);
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
