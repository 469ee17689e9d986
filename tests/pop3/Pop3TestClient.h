// The POP3 client as the tests drive it: a TSyncPop3Cli that records its
// events in order and shows a little of its inner state.
#pragma once

#include "pop3/Pop3Prot.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

class TestPop3Cli : public TSyncPop3Cli {
public:
    TestPop3Cli() {
        Timeout = 10;
        OnRequestDone = [this](TObject* s, TPop3Request rq, WORD e) {
            EXPECT_EQ(s, this);
            Done.emplace_back(rq, e);
            Log.push_back("done " + std::to_string(rq) + " " + std::to_string(e));
        };
        OnSessionClosed = [this](TObject*, WORD e) { Log.push_back("closed " + std::to_string(e)); };
        OnSessionConnected = [this](TObject*, WORD e) { Log.push_back("connected " + std::to_string(e)); };
        OnDisplay = [this](TObject*, const std::string& m) { Display.push_back(m); };
        OnResponse = [this](TObject*, const std::string& m) { Responses.push_back(m); };
        OnStateChange = [this](TObject*) { States.push_back(EngineState()); };
    }

    // Bytes received and not yet cut into lines.
    int HeldBytes() const { return FReceiveLength; }
    std::optional<TPop3Request> CurrentStep() const { return FCurrentStep; }
    // The engine's socket (for a proxy, which the engine has no setting for).
    TWSocket& Socket() { return *FWSocket; }
    // Header capture of one data line, as while a message header is read.
    void Capture(const std::string& line) {
        FInHeader = true;
        CaptureHeader(line);
    }

    // Runs the event loop until `n` requests have reported their end.
    bool WaitDone(std::size_t n = 1, int ms = 10000) {
        return TestSupport::WaitFor([&] { return Done.size() >= n; }, ms);
    }
    bool WaitIdle(int ms = 10000) {
        return TestSupport::WaitFor([&] { return EngineState() == esIdle; }, ms);
    }

    std::vector<std::pair<TPop3Request, WORD>> Done;
    std::vector<std::string> Log;
    std::vector<std::string> Display;
    std::vector<std::string> Responses;
    std::vector<TPop3EngineState> States;
};
