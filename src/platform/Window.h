// Hidden message windows and posted messages.
//
// A window is a handle with a window procedure. Messages posted to it are
// queued and delivered later, in the order they were posted, on the GUI
// thread by its event loop -- never from inside the call that posts them.
// PostMessageA may be called from any thread; everything else belongs to the
// GUI thread. Messages still queued for a window that has been released are
// dropped. Handles are never reused.
#pragma once

#include "platform/WinTypes.h"

// Creates a window whose procedure is `proc`. Must be called on the GUI thread
// after the Qt application object exists.
HWND AllocateHWnd(TWndMethod proc);
// Releases the window; later and still queued messages to it are dropped.
void DeallocateHWnd(HWND wnd);
// True while `wnd` names a window that has not been released.
BOOL IsWindow(HWND wnd);

// Queues a message for `wnd`; FALSE when no such window exists.
BOOL PostMessageA(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam);
// Calls the window procedure of `wnd` at once and returns its result (0 when
// there is no such window).
LRESULT SendMessageA(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam);
// The answer of the default window procedure: 0.
LRESULT DefWindowProcA(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam);

// Starts (or, for an `id` already running on `wnd`, restarts) a timer that
// sends WM_TIMER with wParam `id` to `wnd` every `ms` milliseconds until
// KillTimer or the window's release. GUI thread only. Answers `id`, or 0
// when there is no such window.
UINT SetTimer(HWND wnd, UINT id, UINT ms);
// Stops a timer; FALSE when `wnd` has no timer `id`.
BOOL KillTimer(HWND wnd, UINT id);

// Milliseconds since an arbitrary start, wrapping at 2^32.
DWORD GetTickCount();

// Called with every exception that escapes a window procedure. The framework
// installs the application's handler here; without one the exception is
// dropped.
void SetWindowProcExceptionHandler(std::function<void(const std::exception&)> handler);
