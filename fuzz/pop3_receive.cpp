// libFuzzer target: arbitrary server bytes through the POP3 engine's receive
// path. Each input is one session: the first byte chooses the commands the
// client sends whenever it is idle, the second how the bytes are cut into
// reads; the rest is what the server says. The engine starts connected and
// waiting for the greeting; its commands go into a socket that is not
// connected (its errors are reported through OnError, so sending fails
// quietly). The session ends with the server closing the connection.
#include "framework/Application.h"
#include "pop3/Pop3Prot.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "FuzzApp.h"
#include "FuzzPop3.h"

namespace {

class FuzzPop3Cli : public TCustomPop3Cli {
public:
    FuzzPop3Cli() {
        FWSocket->OnError = [](TObject*) {};
        SinkPop3Events(*this, sink_);
        // The bytes come in as if over TLS, so that half the scripts log in
        // with an OAuth2 token (AUTH OAUTHBEARER) and its challenge.
        Security = 1;
        Auth = 2;
    }

    // As if the socket had just connected.
    void Start() {
        FConnected = true;
        FDoneSignalled = false;
        FCurrentRequest = rqConnect;
        FReceiveLength = 0;
        SetEngineState(esAwaitingGreeting);
    }

    // One read notification delivering `data`, repeated while bytes remain,
    // as the socket's receive loop does.
    void Deliver(const std::uint8_t* data, std::size_t size) {
        pending_ = data;
        left_ = size;
        int guard = 0;
        while (left_ > 0 && FConnected && ++guard < 100000) {
            try {
                WSocketDataAvailable(nullptr, 0);
            } catch (const Exception&) {
                // The socket's dispatch swallows what escapes the handler.
            }
        }
    }

    void Closed() { WSocketSessionClosed(nullptr, 0); }
    // After a negative greeting the engine closes the socket; this socket
    // was never open, so its close is reported here.
    bool RefusedGreeting() const { return FEngineState == esAwaitingGreeting && FReplyStatus != 0; }

    void NextCommand(unsigned& script) { NextPop3Command(*this, script); }

    std::size_t sink_ = 0;

protected:
    int ReceiveRaw(void* Buffer, int BufferSize) override {
        if (left_ == 0) return -1;
        std::size_t n = std::min<std::size_t>({left_, static_cast<std::size_t>(BufferSize), chunk});
        std::memcpy(Buffer, pending_, n);
        pending_ += n;
        left_ -= n;
        return static_cast<int>(n);
    }

public:
    std::size_t chunk = 4096;

private:
    const std::uint8_t* pending_ = nullptr;
    std::size_t left_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    StartFuzzApplication();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    unsigned script = data[0];
    std::size_t chunk = data[1] == 0 ? 4096 : data[1];
    data += 2;
    size -= 2;
    {
        FuzzPop3Cli cli;
        cli.chunk = chunk;
        cli.Start();
        // Server bytes in slices of up to 64 reads, with a command sent
        // whenever the engine is idle in between.
        std::size_t slice = std::max<std::size_t>(chunk * 4, 16);
        for (std::size_t pos = 0; pos < size && cli.Connected(); pos += slice) {
            cli.Deliver(data + pos, std::min(slice, size - pos));
            if (cli.RefusedGreeting()) cli.Closed();
            cli.NextCommand(script);
        }
        if (cli.Connected()) cli.Closed();
        Application->ProcessMessages();
    }
    Application->ProcessMessages();
    return 0;
}
