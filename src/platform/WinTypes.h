// The integral types, handles and message record that the desktop services
// of this layer use in their signatures. Handles are 32-bit numbers handed out
// by this layer, so records that carry them keep the sizes the units expect.
#pragma once

#include <cstdint>
#include <functional>

using BOOL = int;
using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using UINT = unsigned int;
using LONG = std::int32_t;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;
using HWND = std::uint32_t;   // 0 = no window
using HICON = std::uint32_t;  // 0 = no icon

constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;

constexpr UINT WM_TIMER = 0x113;
constexpr UINT WM_USER = 0x400;
constexpr UINT WM_LBUTTONDOWN = 0x201;
constexpr UINT WM_LBUTTONUP = 0x202;
constexpr UINT WM_RBUTTONDOWN = 0x204;
constexpr UINT WM_RBUTTONUP = 0x205;

struct POINT {
    LONG x = 0;
    LONG y = 0;
};

// One window message as a window procedure sees it; the procedure may set Result.
struct TMessage {
    UINT Msg = 0;
    WPARAM WParam = 0;
    LPARAM LParam = 0;
    LRESULT Result = 0;
};

using TWndMethod = std::function<void(TMessage&)>;
