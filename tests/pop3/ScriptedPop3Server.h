// A POP3 server for the engine's tests that says exactly what the test tells
// it to: a fixed greeting (or nothing), scripted replies to commands, bytes
// sent on demand (so a line can be split across reads), silence, and an
// abrupt or orderly close. It listens on a free 127.0.0.1 port and runs on
// the GUI thread, so it answers while a synchronous operation pumps the
// event loop. One client at a time; a new connection replaces the last.
#pragma once

#include <QTcpServer>
#include <QTcpSocket>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

class ScriptedPop3Server {
public:
    // What happens to the connection after a reply has been written.
    enum class Then { Stay, Close, Abort };

    ScriptedPop3Server();
    ~ScriptedPop3Server();

    std::string Port() const;

    // Written as soon as a client connects; empty: the server stays silent.
    std::string Greeting = "+OK POP3 test server ready <1896.697170952@dbc.mtview.ca.us>\r\n";

    // The reply to a command line: a rule for the exact line wins over a rule
    // for its first word (upper-cased). The bytes are written as they are.
    // Each rule answers every time until replaced.
    void On(const std::string& command, const std::string& reply, Then then = Then::Stay);
    // Commands matched by no rule get this reply (empty: silence).
    std::string Unmatched = "-ERR unexpected command\r\n";
    // Called for every command line before the rules; returns true when it
    // has dealt with the line itself.
    std::function<bool(const std::string& line)> OnCommand;

    void Send(const std::string& bytes);
    // Orderly close (FIN after what is still queued).
    void CloseClient();
    // Drops the connection at once.
    void AbortClient();

    bool ClientConnected() const;
    int Connections() const { return connections_; }
    // Command lines received, without their CR LF, in order.
    const std::vector<std::string>& Lines() const { return lines_; }
    // True once a command line equal to `line` has arrived.
    bool Got(const std::string& line) const;
    // Every byte received.
    const std::string& Received() const { return received_; }

private:
    struct Rule {
        std::string reply;
        Then then;
    };
    void Accept();
    void Read();
    void Dispatch(const std::string& line);

    QTcpServer server_;
    QTcpSocket* client_ = nullptr;
    std::map<std::string, Rule> exact_;
    std::map<std::string, Rule> byWord_;
    std::vector<std::string> lines_;
    std::string received_;
    std::string pending_;
    int connections_ = 0;
};
