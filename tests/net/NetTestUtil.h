// Helpers for the socket tests: a socket whose protected parts the tests may
// reach, an event log, a client connected to a scripted server, and the
// message of a socket error.
#pragma once

#include "net/WSocket.h"
#include "support/ScriptedServer.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace NetTest {

inline std::string ErrorOf(const std::function<void()>& f) { return TestSupport::ErrorOf<ESocketException>(f); }

inline const char* StateName(TSocketState s) {
    switch (s) {
        case wsInvalidState: return "invalid";
        case wsOpened: return "opened";
        case wsBound: return "bound";
        case wsConnecting: return "connecting";
        case wsConnected: return "connected";
        case wsAccepting: return "accepting";
        case wsListening: return "listening";
        case wsClosed: return "closed";
    }
    return "?";
}

// TWSocket with the queue and sending steps opened up, and a limit on what
// one send call may hand to the socket (a socket that takes only part).
class TTestSocket : public TWSocket {
public:
    using TCustomWSocket::ClearSendQueue;
    using TCustomWSocket::QueueSendData;
    using TCustomWSocket::TryToSend;
    int ChunkLimit = 0;  // 0 = no limit
    std::vector<int> ChunkSizes;
    long RawBytes = 0;  // bytes taken from the socket by any read

protected:
    int RecvRaw(void* Buffer, int BufferSize, int Flags) override {
        int n = TWSocket::RecvRaw(Buffer, BufferSize, Flags);
        if (n > 0) RawBytes += n;
        return n;
    }
    int SendChunk(const void* Data, int Len) override {
        if (ChunkLimit > 0 && Len > ChunkLimit) Len = ChunkLimit;
        ChunkSizes.push_back(Len);
        return TWSocket::SendChunk(Data, Len);
    }
};

// Records the events of a socket as short texts, in order.
struct TEventLog {
    std::vector<std::string> Events;
    std::string Data;  // bytes read by the data handler
    bool ReadInHandler = true;

    void Attach(TCustomWSocket& s) {
        s.OnChangeState = [this](TObject*, TSocketState o, TSocketState n) {
            Events.push_back(std::string("state ") + StateName(o) + ">" + StateName(n));
        };
        s.OnSessionConnected = [this](TObject*, WORD e) { Events.push_back("connected " + std::to_string(e)); };
        s.OnSessionClosed = [this, &s](TObject*, WORD e) {
            Events.push_back("closed " + std::to_string(e) + " in " + StateName(s.State()));
        };
        s.OnDataSent = [this](TObject*, WORD e) { Events.push_back("sent " + std::to_string(e)); };
        s.OnSendData = [this](TObject*, int n) { Events.push_back("senddata " + std::to_string(n)); };
        s.OnDnsLookupDone = [this](TObject*, WORD e) { Events.push_back("dns " + std::to_string(e)); };
        s.OnDataAvailable = [this, &s](TObject*, WORD e) {
            if (!ReadInHandler) {
                Events.push_back("data " + std::to_string(e));
                return;
            }
            char buf[4096];
            int n = s.Receive(buf, sizeof buf);
            if (n > 0) {
                Data.append(buf, static_cast<size_t>(n));
                Events.push_back("data " + std::to_string(e) + " " + std::to_string(n));
            }
        };
    }
    int Count(const std::string& prefix) const {
        int n = 0;
        for (const auto& e : Events) n += e.rfind(prefix, 0) == 0;
        return n;
    }
    bool Has(const std::string& event) const {
        for (const auto& e : Events)
            if (e == event) return true;
        return false;
    }
    std::string Joined() const {
        std::string out;
        for (const auto& e : Events) out += e + "; ";
        return out;
    }
};

// Points `s` at the scripted server and connects.
inline void ConnectTo(TCustomWSocket& s, int port) {
    s.SetAddr("127.0.0.1");
    s.SetPort(std::to_string(port));
    s.SetProto("tcp");
    s.Connect();
}

inline bool WaitConnected(TCustomWSocket& s) {
    return TestSupport::WaitFor([&] { return s.State() == wsConnected || s.State() == wsClosed; }) &&
           s.State() == wsConnected;
}

}  // namespace NetTest
