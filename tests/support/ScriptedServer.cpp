#include "support/ScriptedServer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace TestSupport {

TScript& TScript::Send(const std::string& bytes) {
    steps.push_back({Step::kSend, bytes, 0, 0});
    return *this;
}

TScript& TScript::SendSplit(const std::string& bytes, const std::vector<size_t>& offsets, int firstGate) {
    size_t from = 0;
    int gate = firstGate;
    for (size_t cut : offsets) {
        if (cut > from && cut < bytes.size()) {
            Send(bytes.substr(from, cut - from));
            Gate(gate++);
            from = cut;
        }
    }
    return Send(bytes.substr(from));
}

TScript& TScript::Expect(size_t count) {
    steps.push_back({Step::kExpect, "", count, 0});
    return *this;
}

TScript& TScript::ExpectText(const std::string& text) {
    steps.push_back({Step::kExpectText, text, 0, 0});
    return *this;
}

TScript& TScript::ExpectLine(const std::string& line) {
    steps.push_back({Step::kExpectLine, line, 0, 0});
    return *this;
}

TScript& TScript::Gate(int gate) {
    steps.push_back({Step::kGate, "", 0, gate});
    return *this;
}

TScript& TScript::DrainUntilClosed() {
    steps.push_back({Step::kDrain, "", 0, 0});
    return *this;
}

TScript& TScript::Close() {
    steps.push_back({Step::kClose, "", 0, 0});
    return *this;
}

TScript& TScript::Reset() {
    steps.push_back({Step::kReset, "", 0, 0});
    return *this;
}

TScriptedServer::TScriptedServer(TScript script, int receiveBuffer)
    : script_(std::move(script)), receiveBuffer_(receiveBuffer) {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0) throw std::runtime_error("scripted server: socket");
    int on = 1;
    ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (receiveBuffer_ > 0)
        ::setsockopt(listenFd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer_, sizeof receiveBuffer_);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(listenFd_, 8) != 0)
        throw std::runtime_error("scripted server: bind/listen");
    socklen_t len = sizeof sa;
    ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&sa), &len);
    port_ = ntohs(sa.sin_port);
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC);
    thread_ = std::thread([this] { Run(); });
}

TScriptedServer::~TScriptedServer() {
    {
        std::lock_guard<std::mutex> g(lock_);
        stopping_ = true;
    }
    cv_.notify_all();
    std::uint64_t one = 1;
    (void)!::write(wakeFd_, &one, sizeof one);
    thread_.join();
    ::close(listenFd_);
    ::close(wakeFd_);
}

void TScriptedServer::Open(int gate) {
    {
        std::lock_guard<std::mutex> g(lock_);
        openGates_.insert(gate);
    }
    cv_.notify_all();
}

std::string TScriptedServer::Received() {
    std::lock_guard<std::mutex> g(lock_);
    return received_;
}

int TScriptedServer::Accepted() {
    std::lock_guard<std::mutex> g(lock_);
    return accepted_;
}

bool TScriptedServer::Finished() {
    std::lock_guard<std::mutex> g(lock_);
    return finished_ > 0;
}

std::string TScriptedServer::Failure() {
    std::lock_guard<std::mutex> g(lock_);
    return failure_;
}

bool TScriptedServer::WaitReadable(int fd) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    for (;;) {
        int rc = ::poll(fds, 2, -1);
        if (rc < 0 && errno == EINTR) continue;
        if (rc < 0) return false;
        if (fds[1].revents) return false;  // stopping
        if (fds[0].revents) return true;
    }
}

void TScriptedServer::Run() {
    std::vector<int> kept;  // connections whose script ended without closing
    while (WaitReadable(listenFd_)) {
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        {
            std::lock_guard<std::mutex> g(lock_);
            ++accepted_;
        }
        Serve(fd);
        kept.push_back(fd);
    }
    for (int fd : kept)
        if (fd >= 0) ::close(fd);
}

void TScriptedServer::Serve(int& fdRef) {
    int fd = fdRef;
    auto fail = [&](const std::string& why) {
        std::lock_guard<std::mutex> g(lock_);
        if (failure_.empty()) failure_ = why;
        ++finished_;
    };
    auto readSome = [&]() -> int {
        if (!WaitReadable(fd)) return -1;
        char buf[65536];
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n > 0) {
            std::lock_guard<std::mutex> g(lock_);
            received_.append(buf, static_cast<size_t>(n));
        }
        return static_cast<int>(n);
    };
    size_t taken = Received().size();  // bytes the expecting steps have dealt with
    for (const TScript::Step& step : script_.steps) {
        switch (step.kind) {
            case TScript::Step::kSend: {
                size_t sent = 0;
                while (sent < step.bytes.size()) {
                    ssize_t n = ::send(fd, step.bytes.data() + sent, step.bytes.size() - sent, MSG_NOSIGNAL);
                    if (n <= 0) return fail("send failed");
                    sent += static_cast<size_t>(n);
                }
                break;
            }
            case TScript::Step::kExpect: {
                size_t target;
                {
                    std::lock_guard<std::mutex> g(lock_);
                    target = received_.size() + step.count;
                }
                while (Received().size() < target) {
                    int n = readSome();
                    if (n <= 0) return fail("connection ended while expecting bytes");
                }
                taken = Received().size();
                break;
            }
            case TScript::Step::kExpectText: {
                for (;;) {
                    std::string r = Received();
                    if (r.size() >= step.bytes.size() && r.compare(r.size() - step.bytes.size(), step.bytes.size(), step.bytes) == 0)
                        break;
                    int n = readSome();
                    if (n <= 0) return fail("connection ended while expecting text");
                }
                taken = Received().size();
                break;
            }
            case TScript::Step::kExpectLine: {
                size_t end;
                while ((end = Received().find("\r\n", taken)) == std::string::npos)
                    if (readSome() <= 0) return fail("connection ended while expecting \"" + step.bytes + "\"");
                std::string line = Received().substr(taken, end - taken);
                taken = end + 2;
                if (line != step.bytes) return fail("expected \"" + step.bytes + "\", got \"" + line + "\"");
                break;
            }
            case TScript::Step::kGate: {
                std::unique_lock<std::mutex> g(lock_);
                cv_.wait(g, [&] { return stopping_ || openGates_.count(step.gate) > 0; });
                if (stopping_) {
                    ++finished_;
                    return;
                }
                break;
            }
            case TScript::Step::kDrain:
                while (readSome() > 0) {
                }
                break;
            case TScript::Step::kClose:
                ::shutdown(fd, SHUT_WR);
                // Wait for the client's close so that its FIN does not meet a
                // closed socket (which would answer with a reset).
                while (readSome() > 0) {
                }
                ::close(fd);
                fdRef = -1;
                break;
            case TScript::Step::kReset: {
                linger l{1, 0};
                ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
                ::close(fd);
                fdRef = -1;
                break;
            }
        }
    }
    std::lock_guard<std::mutex> g(lock_);
    ++finished_;
}

int UnusedPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    socklen_t len = sizeof sa;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    ::close(fd);
    return ntohs(sa.sin_port);
}

}  // namespace TestSupport
