#include "platform/NameLookup.h"

#include "platform/Window.h"

// The host entry's address family in this layer's numbering, taken before
// the system headers below redefine the name as a macro.
namespace {
constexpr int kLibAfInet = WSock::AF_INET;
constexpr int kLibAfInet6 = WSock::AF_INET6;
constexpr int kLibSockStream = WSock::SOCK_STREAM;
constexpr int kLibIpprotoTcp = WSock::IPPROTO_TCP;
}  // namespace

#include "platform/AsciiText.h"

#include <arpa/inet.h>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unordered_map>

namespace WSock {

namespace {

int ResolverError(int eai, int savedErrno) {
    switch (eai) {
        case 0: return 0;
        case EAI_NONAME: return WSAHOST_NOT_FOUND;
#ifdef EAI_NODATA
        case EAI_NODATA: return WSANO_DATA;
#endif
#ifdef EAI_ADDRFAMILY
        case EAI_ADDRFAMILY: return WSANO_DATA;
#endif
        case EAI_AGAIN: return WSATRY_AGAIN;
        case EAI_FAIL: return WSANO_RECOVERY;
        case EAI_MEMORY: return WSAENOBUFS;
        case EAI_FAMILY: return WSAEAFNOSUPPORT;
        case EAI_SYSTEM: return SocketErrorFromErrno(savedErrno);
        default: return WSANO_RECOVERY;
    }
}

// One thread runs the lookups in the order they were asked for. A request
// stays in `live` until its reply is written and posted; cancelling removes
// it, and because the reply is written under the same lock, a cancelled
// request never touches its buffer again.
class LookupWorker {
public:
    HANDLE Start(LookupRequest req) {
        std::lock_guard<std::mutex> g(FLock);
        if (!FThread) {
            FThread = std::make_unique<std::thread>([this] { Run(); });
            FThread->detach();
        }
        req.handle = FNext++;
        if (FNext == 0) FNext = 1;
        auto shared = std::make_shared<LookupRequest>(std::move(req));
        FLive[shared->handle] = shared;
        FQueue.push_back(shared);
        FCv.notify_one();
        return shared->handle;
    }

    int Cancel(HANDLE h) {
        std::lock_guard<std::mutex> g(FLock);
        if (FLive.erase(h) > 0) return 0;
        return h != 0 && h < FNext ? WSAEALREADY : WSAEINVAL;
    }

private:
    void Run() {
        for (;;) {
            std::shared_ptr<LookupRequest> req;
            {
                std::unique_lock<std::mutex> g(FLock);
                FCv.wait(g, [this] { return !FQueue.empty(); });
                req = FQueue.front();
                FQueue.pop_front();
                if (!FLive.count(req->handle)) continue;  // cancelled while queued
            }
            HostResult r = req->byAddr ? LookupAddr(req->addr) : LookupName(req->name, req->allFamilies);
            std::lock_guard<std::mutex> g(FLock);
            if (!FLive.erase(req->handle)) continue;  // cancelled meanwhile: drop it
            int error = r.error;
            if (req->allFamilies) {
                if (error == 0) *req->result = MakeAddrInfoList(r.all);
            } else if (error == 0) {
                error = StoreHostEntry(r, req->buf, req->buflen);
            }
            PostMessageA(req->wnd, req->msg, static_cast<WPARAM>(req->handle),
                         static_cast<LPARAM>(static_cast<DWORD>(static_cast<WORD>(req->buflen)) |
                                             (static_cast<DWORD>(static_cast<WORD>(error)) << 16)));
        }
    }

    std::mutex FLock;
    std::condition_variable FCv;
    std::deque<std::shared_ptr<LookupRequest>> FQueue;
    std::unordered_map<HANDLE, std::shared_ptr<LookupRequest>> FLive;
    HANDLE FNext = 1;
    std::unique_ptr<std::thread> FThread;
};

LookupWorker& Worker() {
    // Lives to the end of the process: its thread may still be inside a
    // lookup when the program ends.
    static LookupWorker* w = new LookupWorker;
    return *w;
}

// The test double's host table.
std::mutex g_testHostsLock;
std::vector<std::pair<std::string, std::vector<std::string>>> g_testHosts;

void AddUnique(HostResult& r, const HostAddress& a) {
    for (const HostAddress& x : r.all)
        if (x.family == a.family && std::memcmp(x.bytes, a.bytes, sizeof a.bytes) == 0) return;
    r.all.push_back(a);
    if (a.family == kLibAfInet) {
        u_long v4;
        std::memcpy(&v4, a.bytes, 4);
        r.addrs.push_back(v4);
    }
}

// The answer of the test host table; false when the name is not in it.
bool LookupTestHost(const std::string& name, bool allFamilies, HostResult& r) {
    std::lock_guard<std::mutex> g(g_testHostsLock);
    for (const auto& [host, texts] : g_testHosts) {
        if (!EqualNoCaseAscii(host.c_str(), name.c_str())) continue;
        r.name = host;
        for (const std::string& text : texts) {
            HostAddress a;
            if (::inet_pton(AF_INET, text.c_str(), a.bytes) == 1) {
                a.family = kLibAfInet;
            } else if (allFamilies && ::inet_pton(AF_INET6, text.c_str(), a.bytes) == 1) {
                a.family = kLibAfInet6;
            } else {
                continue;
            }
            AddUnique(r, a);
        }
        if (r.all.empty()) r.error = WSAHOST_NOT_FOUND;
        return true;
    }
    return false;
}

struct AddrInfoNode {
    addrinfo info;  // first: the list's pointers are the nodes'
    sockaddr_storage address;
};

}  // namespace

void SetTestHosts(std::vector<std::pair<std::string, std::vector<std::string>>> table) {
    std::lock_guard<std::mutex> g(g_testHostsLock);
    g_testHosts = std::move(table);
}

addrinfo* MakeAddrInfoList(const std::vector<HostAddress>& addrs) {
    addrinfo* head = nullptr;
    addrinfo** tail = &head;
    for (const HostAddress& a : addrs) {
        auto* node = new AddrInfoNode{};
        node->info.ai_family = a.family;
        node->info.ai_socktype = kLibSockStream;
        node->info.ai_protocol = kLibIpprotoTcp;
        node->info.ai_addr = reinterpret_cast<WSock::sockaddr*>(&node->address);
        if (a.family == kLibAfInet6) {
            auto* sin6 = reinterpret_cast<WSock::sockaddr_in6*>(&node->address);
            sin6->sin6_family = static_cast<std::int16_t>(kLibAfInet6);
            std::memcpy(&sin6->sin6_addr, a.bytes, 16);  // (s6_addr is a system macro here)
            node->info.ai_addrlen = sizeof(WSock::sockaddr_in6);
        } else {
            auto* sin = reinterpret_cast<WSock::sockaddr_in*>(&node->address);
            sin->sin_family = static_cast<std::int16_t>(kLibAfInet);
            std::memcpy(&sin->sin_addr.s_addr, a.bytes, 4);
            node->info.ai_addrlen = sizeof(WSock::sockaddr_in);
        }
        *tail = &node->info;
        tail = &node->info.ai_next;
    }
    return head;
}

void freeaddrinfo(addrinfo* list) {
    while (list) {
        addrinfo* next = list->ai_next;
        delete reinterpret_cast<AddrInfoNode*>(list);
        list = next;
    }
}

HostResult LookupName(const std::string& name, bool allFamilies) {
    HostResult r;
    if (LookupTestHost(name, allFamilies, r)) return r;
    ::addrinfo hints{};
    hints.ai_family = allFamilies ? AF_UNSPEC : AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_CANONNAME;
    ::addrinfo* list = nullptr;
    int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &list);
    if (rc != 0) {
        r.error = ResolverError(rc, errno);
        return r;
    }
    r.name = list->ai_canonname ? list->ai_canonname : name;
    for (::addrinfo* a = list; a; a = a->ai_next) {
        if (!a->ai_addr) continue;
        HostAddress h;
        if (a->ai_family == AF_INET) {
            h.family = kLibAfInet;
            std::memcpy(h.bytes, &reinterpret_cast<::sockaddr_in*>(a->ai_addr)->sin_addr.s_addr, 4);
        } else if (a->ai_family == AF_INET6 && allFamilies) {
            h.family = kLibAfInet6;
            std::memcpy(h.bytes, reinterpret_cast<::sockaddr_in6*>(a->ai_addr)->sin6_addr.s6_addr, 16);
        } else {
            continue;
        }
        AddUnique(r, h);
    }
    ::freeaddrinfo(list);
    if (r.all.empty()) r.error = WSANO_DATA;
    return r;
}

HostResult LookupAddr(u_long addr) {
    HostResult r;
    ::sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = addr;
    char host[NI_MAXHOST];
    int rc = ::getnameinfo(reinterpret_cast<::sockaddr*>(&sa), sizeof sa, host, sizeof host, nullptr, 0, NI_NAMEREQD);
    if (rc != 0) {
        r.error = ResolverError(rc, errno);
        return r;
    }
    r.name = host;
    r.addrs.push_back(addr);
    return r;
}

int StoreHostEntry(const HostResult& r, char* buf, int buflen) {
    const size_t align = alignof(char*);
    size_t base = (align - reinterpret_cast<std::uintptr_t>(buf) % align) % align;
    size_t fixed = base + sizeof(hostent) + sizeof(char*);  // entry + empty alias list
    size_t n = r.addrs.size();
    auto need = [&](size_t count, size_t nameLen) { return fixed + (count + 1) * sizeof(char*) + count * 4 + nameLen + 1; };
    while (n > 1 && need(n, r.name.size()) > static_cast<size_t>(buflen)) --n;
    size_t nameLen = r.name.size();
    if (need(n, nameLen) > static_cast<size_t>(buflen)) {
        if (need(n, 0) > static_cast<size_t>(buflen)) return WSAENOBUFS;
        nameLen = static_cast<size_t>(buflen) - need(n, 0);
    }
    char* p = buf + base;
    auto* he = reinterpret_cast<hostent*>(p);
    p += sizeof(hostent);
    auto* aliases = reinterpret_cast<char**>(p);
    p += sizeof(char*);
    auto* addrList = reinterpret_cast<char**>(p);
    p += (n + 1) * sizeof(char*);
    aliases[0] = nullptr;
    for (size_t i = 0; i < n; ++i) {
        std::memcpy(p, &r.addrs[i], 4);
        addrList[i] = p;
        p += 4;
    }
    addrList[n] = nullptr;
    std::memcpy(p, r.name.data(), nameLen);
    p[nameLen] = 0;
    he->h_name = p;
    he->h_aliases = aliases;
    he->h_addrtype = static_cast<std::int16_t>(kLibAfInet);
    he->h_length = 4;
    he->h_addr_list = addrList;
    return 0;
}

HANDLE StartNameLookup(LookupRequest req) { return Worker().Start(std::move(req)); }

int CancelNameLookup(HANDLE h) { return Worker().Cancel(h); }

}  // namespace WSock
