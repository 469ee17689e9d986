// The moments when connections held open have most likely died: the machine
// woke from suspend, or the network came back.
//
// TSystemWake listens on the system bus, the two sources matched by sender
// (only the process that owns the service's name is believed):
//   - the login manager (org.freedesktop.login1) says PrepareForSleep(false):
//     the machine resumed, reported as "resume" (PrepareForSleep(true), about
//     to sleep, drops a report still waiting: nothing would survive it);
//   - NetworkManager (org.freedesktop.NetworkManager) says StateChanged to
//     full connectivity (70) after any lower state: reported as "network".
// Such signals come in bursts (a resume, then the network several states
// on), so the first one waits two seconds for the rest and all of them give
// one OnWake, with the reason of the first.
//
// The bus is DBUS_SYSTEM_BUS_ADDRESS, else the system's usual socket. Without
// a bus the object stays quiet (Listening() is false) and says nothing; a bus
// without those services simply sends nothing.
// Everything runs on the GUI thread. Tests elsewhere call Emit to fire a wake
// without any bus.
#pragma once

#include <functional>
#include <memory>
#include <string>

class TWakeListener;

class TSystemWake {
public:
    TSystemWake();
    ~TSystemWake();
    TSystemWake(const TSystemWake&) = delete;
    TSystemWake& operator=(const TSystemWake&) = delete;

    // Whether a system bus connection is open and the signals are watched.
    bool Listening() const;
    // Calls OnWake(Why) at once, as a wake from the bus would after its wait.
    void Emit(const std::string& Why);

    // "resume" or "network".
    std::function<void(const std::string& Why)> OnWake;

private:
    std::unique_ptr<TWakeListener> FListener;
};
