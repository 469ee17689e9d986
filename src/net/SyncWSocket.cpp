// TCustomSyncWSocket: a wait for a flag that processes messages meanwhile.
#include "net/WSocket.h"
#include "net/WSocketPrivate.h"

#include "framework/Application.h"
#include "platform/Window.h"

#include <QCoreApplication>

#include <algorithm>

TCustomSyncWSocket::TCustomSyncWSocket(TComponent* AOwner) : TCustomLineWSocket(AOwner) {}

TCustomSyncWSocket::~TCustomSyncWSocket() = default;

int TCustomSyncWSocket::RunAndWait(bool& Flag, const std::function<void()>& Proc) {
    Flag = false;
    if (Proc) Proc();
    return WaitForFlag(Flag);
}

int TCustomSyncWSocket::WaitForFlag(bool& Flag) {
    FTimeStop = GetTickCount() + static_cast<DWORD>(Timeout);
    while (!Flag) {
        int wait = kYieldWaitMs;
        if (Timeout > 0) {
            int left = static_cast<int>(FTimeStop - GetTickCount());
            if (left <= 0) return 12001;
            wait = std::min(wait, left);
        }
        if ((Application && Application->Terminated) || FTerminated) return 12001;
        // Block in the event loop until the next message (never spin).
        if (Application)
            Application->WaitMessage(wait);
        else
            QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, wait);
    }
    return 0;
}
