// A POP3 server for the tests that says exactly what the test tells it to.
// Either it plays a conversation in order (a TScript, as the socket tests'
// server does: expect this line, send that), or it answers by rules: a fixed
// greeting (or nothing), scripted replies to commands, bytes sent on demand
// (so a line can be split across reads), silence, and an abrupt or orderly
// close. It listens on a free loopback port (127.0.0.1 unless told ::1) and runs on the GUI thread, so it
// answers while a synchronous operation pumps the event loop. One client at a
// time; a new connection replaces the last.
#pragma once

#include "support/ScriptedServer.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace TestSupport {

class TScriptedPop3Server {
public:
    // What happens to the connection after a reply has been written.
    enum class Then { Stay, Close, Abort };

    // Listens on a free port of `address` (the IPv4 loopback by default;
    // QHostAddress::LocalHostIPv6 for ::1).
    explicit TScriptedPop3Server(const QHostAddress& address = QHostAddress(QHostAddress::LocalHost));
    ~TScriptedPop3Server();
    TScriptedPop3Server(const TScriptedPop3Server&) = delete;
    TScriptedPop3Server& operator=(const TScriptedPop3Server&) = delete;

    int Port() const;
    std::string PortText() const { return std::to_string(Port()); }

    // Plays `script` to every client from its first byte on, in place of the
    // greeting: Send writes, ExpectLine takes the next command line (any other
    // line fails the script and drops the client), Gate waits for Open(gate),
    // Close and Reset end the connection. Lines after the script's end (or its
    // DrainUntilClosed) are answered by the rules below.
    void Play(TScript script);
    void Open(int gate);
    // True once the last client's script has run to its end.
    bool Finished() const { return finished_; }
    // Why a script stopped early (empty while all went as written).
    const std::string& Failure() const { return failure_; }

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
    int Accepted() const { return accepted_; }
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
    void Advance();
    void EndScript();
    void Dispatch(const std::string& line);

    QTcpServer server_;
    QTcpSocket* client_ = nullptr;
    std::map<std::string, Rule> exact_;
    std::map<std::string, Rule> byWord_;
    std::vector<std::string> lines_;
    std::string received_;
    std::string pending_;
    int accepted_ = 0;

    TScript script_;
    bool scripted_ = false;
    bool playing_ = false;
    bool finished_ = false;
    std::size_t step_ = 0;
    std::deque<std::string> unplayed_;  // lines the script has not taken yet
    std::set<int> openGates_;
    std::string failure_;
};

}  // namespace TestSupport
