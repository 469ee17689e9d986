// The name lookups of the socket layer, private to src/platform: the
// blocking lookups behind gethostbyname, the layout of their answer as a host
// entry, and the one worker thread that runs WSAAsyncGetHostByName and
// WSAAsyncGetHostByAddr and WSAAsyncGetAddrInfo and posts each result to the
// asking window. The test host table (SetTestHosts) is consulted here.
#pragma once

#include "platform/Sockets.h"

#include <string>
#include <vector>

namespace WSock {

// An address of either family: this layer's AF_INET (4 bytes used) or
// AF_INET6 (16 bytes), network byte order.
struct HostAddress {
    int family = 0;
    unsigned char bytes[16] = {};
};

struct HostResult {
    int error = 0;
    std::string name;
    std::vector<u_long> addrs;     // IPv4, network byte order
    std::vector<HostAddress> all;  // both families (only when asked for)
};

// IPv4 addresses only, unless allFamilies.
HostResult LookupName(const std::string& name, bool allFamilies = false);
// A list for WSAAsyncGetAddrInfo's caller, freed by freeaddrinfo.
addrinfo* MakeAddrInfoList(const std::vector<HostAddress>& addrs);
HostResult LookupAddr(u_long addr);
// Lays a host entry out in `buf` (pointers into the same buffer, as the
// socket library does). Addresses that do not fit are left out; answers the
// error to report (WSAENOBUFS when not even one address and the name fit).
int StoreHostEntry(const HostResult& r, char* buf, int buflen);

struct LookupRequest {
    HANDLE handle = 0;
    HWND wnd = 0;
    UINT msg = 0;
    bool byAddr = false;
    std::string name;
    u_long addr = 0;
    bool allFamilies = false;     // an address-info lookup: the answer goes to *result
    addrinfo** result = nullptr;
    char* buf = nullptr;
    int buflen = 0;
};

// Queues the lookup; answers its handle. The reply is posted to req.wnd as
// req.msg with the handle in wParam and buflen | error << 16 in lParam.
HANDLE StartNameLookup(LookupRequest req);
// 0 when cancelled; WSAEALREADY when the lookup has already completed (its
// reply is posted or delivered); WSAEINVAL for an unknown handle.
int CancelNameLookup(HANDLE h);

}  // namespace WSock
