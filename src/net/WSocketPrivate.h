// What the source files of the socket component share among themselves;
// nothing outside src/net includes this.
#pragma once

#include "platform/Sockets.h"

#include <atomic>
#include <string>

// Longest single wait of the component's wait loops; they re-check their
// condition at least this often even when no message arrives.
constexpr int kYieldWaitMs = 1000;

// The count of live socket components (what WSocketGCount answers).
std::atomic<int>& WSocketInstanceCount();

// Dotted text of an IPv4 address in network byte order.
inline std::string DottedText(WSock::u_long addr) {
    WSock::in_addr a{addr};
    const char* t = WSock::inet_ntoa(a);
    return t ? t : "";
}
