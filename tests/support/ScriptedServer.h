// A TCP server on 127.0.0.1 that plays a script against each client it
// accepts, on a thread of its own: send chosen bytes, wait for chosen bytes,
// hold until the test opens a gate (so that pieces reach the client in
// separate reads), stay silent, close in order or reset the connection.
// Everything it receives is recorded. The POP3 tests' server
// (ScriptedPop3Server.h) plays the same scripts.
#pragma once

#include <condition_variable>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace TestSupport {

class TScript {
public:
    // Sends the bytes (in one write).
    TScript& Send(const std::string& bytes);
    // Sends the bytes in pieces cut at the given offsets; before each piece
    // after the first, waits for the gate of the same number (first cut = gate
    // `firstGate`, next = firstGate + 1, ...).
    TScript& SendSplit(const std::string& bytes, const std::vector<size_t>& offsets, int firstGate);
    // Reads until `count` more bytes have arrived (fails the script on EOF).
    TScript& Expect(size_t count);
    // Reads until the received bytes end with `text`.
    TScript& ExpectText(const std::string& text);
    // Takes the next line (up to CR LF) not taken by an earlier step; a
    // different line fails the script.
    TScript& ExpectLine(const std::string& line);
    // Waits until the test calls Open(gate).
    TScript& Gate(int gate);
    // Reads everything until the client closes.
    TScript& DrainUntilClosed();
    // Closes the connection in order (FIN).
    TScript& Close();
    // Resets the connection (RST).
    TScript& Reset();

    struct Step {
        enum Kind { kSend, kExpect, kExpectText, kExpectLine, kGate, kDrain, kClose, kReset } kind;
        std::string bytes;
        size_t count = 0;
        int gate = 0;
    };
    std::vector<Step> steps;
};

class TScriptedServer {
public:
    // `receiveBuffer` > 0 shrinks the receive buffer of accepted connections
    // (a slow reader fills up quickly). Each accepted client gets the script.
    explicit TScriptedServer(TScript script, int receiveBuffer = 0);
    ~TScriptedServer();
    TScriptedServer(const TScriptedServer&) = delete;
    TScriptedServer& operator=(const TScriptedServer&) = delete;

    int Port() const { return port_; }
    std::string PortText() const { return std::to_string(port_); }
    void Open(int gate);
    std::string Received();
    int Accepted();
    // True once a client's script has run to its end (or failed).
    bool Finished();
    // Set when a step could not complete (peer closed early, error).
    std::string Failure();

private:
    void Run();
    void Serve(int& fd);
    bool WaitReadable(int fd);

    TScript script_;
    int receiveBuffer_;
    int listenFd_ = -1;
    int wakeFd_ = -1;
    int port_ = 0;
    std::thread thread_;
    std::mutex lock_;
    std::condition_variable cv_;
    std::set<int> openGates_;
    std::string received_;
    std::string failure_;
    int accepted_ = 0;
    int finished_ = 0;
    bool stopping_ = false;
};

// A loopback port that nothing listens on (bound once, then released).
int UnusedPort();

}  // namespace TestSupport
