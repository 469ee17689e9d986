// libFuzzer target: arbitrary proxy bytes through the SOCKS 4, 4A and 5
// negotiation. The first byte chooses the version and whether a login is
// offered, the second how the bytes are cut into reads; the rest is what the
// proxy says. The socket starts as if its connection to the proxy had just
// come up; its requests go nowhere (the socket is not open). A success must
// leave the bound address within a domain name's 255 bytes, and the bytes
// after the final reply come back first, exactly as the proxy sent them.
#include "framework/Application.h"
#include "net/WSocket.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "FuzzApp.h"
#include "FuzzCheck.h"

namespace {

class FuzzSocksSocket : public TCustomSocksWSocket {
public:
    FuzzSocksSocket(unsigned mode, const std::uint8_t* data, std::size_t size, std::size_t chunk)
        : data_(data), left_(size), chunk_(chunk) {
        static const char* const levels[] = {"5", "4", "4A", "5"};
        SetSocksLevel(levels[mode & 3]);
        if (mode & 4) {
            SocksAuthentication = socksAuthenticateUsercode;
            SocksUsercode = "user";
            SocksPassword = "secret";
        }
        SetAddr((mode & 3) == 1 ? "127.0.0.1" : "mail.example");
        OnError = [](TObject*) {};
    }

    // The proxy connection is up: the negotiation starts.
    void Start() {
        FSocksState = socksGreeting;
        NotifySessionConnected(0);
    }

    // Read notifications while the negotiation runs and bytes remain.
    void Run() {
        for (int guard = 0; FSocksState != socksIdle && left_ > 0 && guard < 100000; ++guard) {
            try {
                NotifyDataAvailable(0);
            } catch (const Exception&) {
                // The socket's dispatch swallows what escapes the handler.
            }
        }
    }

    bool Negotiating() const { return FSocksState != socksIdle; }
    std::size_t Consumed() const { return consumed_; }
    const std::uint8_t* Data() const { return data_ - consumed_; }

    // What the session reads first after a success.
    std::string Leftover() {
        std::string out;
        char buf[64];
        while (SocksHeldBytes() > 0) {
            int n = TCustomSocksWSocket::RecvRaw(buf, sizeof buf, 0);
            if (n <= 0) break;
            out.append(buf, static_cast<std::size_t>(n));
        }
        return out;
    }

protected:
    int RecvRaw(void* Buffer, int BufferSize, int Flags) override {
        if (SocksHeldBytes() > 0) return TCustomSocksWSocket::RecvRaw(Buffer, BufferSize, Flags);
        if (left_ == 0 || BufferSize <= 0) return -1;
        std::size_t n = std::min({left_, static_cast<std::size_t>(BufferSize), chunk_});
        std::memcpy(Buffer, data_, n);
        data_ += n;
        left_ -= n;
        consumed_ += n;
        return static_cast<int>(n);
    }
    void NotifySessionConnected(WORD Error) override {
        if (FSocksState == socksIdle && Error == 0) succeeded_ = true;
        TCustomSocksWSocket::NotifySessionConnected(Error);
    }

public:
    bool succeeded_ = false;

private:
    const std::uint8_t* data_;
    std::size_t left_;
    std::size_t chunk_;
    std::size_t consumed_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    StartFuzzApplication();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const unsigned mode = data[0];
    const std::size_t chunk = data[1] == 0 ? 4096 : data[1];
    {
        FuzzSocksSocket socket(mode, data + 2, size - 2, chunk);
        socket.Start();
        socket.Run();
        if (socket.succeeded_ && !socket.Negotiating()) {
            CHECK(socket.BoundAddr().size() <= 255);
            const std::size_t consumed = socket.Consumed();
            const std::string rest = socket.Leftover();
            CHECK(rest.size() <= consumed);
            CHECK(std::memcmp(rest.data(), socket.Data() + consumed - rest.size(), rest.size()) == 0);
        }
    }
    Application->ProcessMessages();
    return 0;
}
