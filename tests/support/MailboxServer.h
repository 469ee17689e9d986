// A scripted POP3 server holding a mailbox: messages numbered from 1, each
// with its unique id and From value, served by STAT, UIDL (unless `uidl` is
// off) and TOP n 0, after USER u and PASS p. Counts the TOPs it answers.
#pragma once

#include "support/ScriptedPop3Server.h"

#include <string>
#include <utility>
#include <vector>

namespace TestSupport {

struct TMailboxServer {
    TScriptedPop3Server server;
    std::vector<std::pair<std::string, std::string>> messages;  // unique id, From value
    bool uidl = true;
    int tops = 0;

    TMailboxServer() {
        server.On("USER", "+OK\r\n");
        server.On("PASS", "+OK\r\n");
        server.On("QUIT", "+OK\r\n", TScriptedPop3Server::Then::Close);
        server.OnCommand = [this](const std::string& line) {
            if (line == "STAT") {
                server.Send("+OK " + std::to_string(messages.size()) + " 0\r\n");
            } else if (line == "UIDL") {
                std::string reply = uidl ? "+OK\r\n" : "-ERR unknown command\r\n";
                for (size_t i = 0; uidl && i < messages.size(); ++i)
                    reply += std::to_string(i + 1) + " " + messages[i].first + "\r\n";
                server.Send(uidl ? reply + ".\r\n" : reply);
            } else if (line.rfind("TOP ", 0) == 0) {
                const size_t n = std::stoul(line.substr(4));
                ++tops;
                server.Send("+OK\r\nFrom:" + messages.at(n - 1).second + "\r\nSubject: s\r\n\r\n.\r\n");
            } else {
                return false;
            }
            return true;
        };
    }
    // Takes the TOPs counted so far.
    int TakeTops() { return std::exchange(tops, 0); }
};

}  // namespace TestSupport
