// A scripted IMAP server holding one folder: unseen messages by UID, each
// with its From value, served by STATUS, EXAMINE, UID SEARCH UNSEEN and UID
// FETCH after any login, with IDLE when `idle` is on. While a client idles,
// Deliver and Read tell it the news as a real server would; a DONE is
// answered unless `answerDone` is off. Counts the fetches it answers.
#pragma once

#include "support/ScriptedPop3Server.h"

#include <functional>
#include <map>
#include <string>
#include <utility>

namespace TestSupport {

struct TImapFolderServer {
    TScriptedPop3Server server;
    std::map<int, std::string> unseen;  // UID -> From value
    int uidNext = 1;
    int uidValidity = 5;
    bool idle = true;
    bool answerDone = true;
    int fetches = 0;
    int logins = 0;
    // Called once a search's hits are taken and before they are sent: what
    // happens to the folder meanwhile (a delivery) the hits do not show.
    std::function<void()> afterSearch;

    TImapFolderServer() {
        Greet();
        server.OnCommand = [this](const std::string& line) {
            if (line == "DONE") {
                if (answerDone && !idleTag_.empty()) server.Send(std::exchange(idleTag_, "") + " OK Idle completed.\r\n");
                return true;
            }
            const std::string tag = line.substr(0, line.find(' '));
            const std::string command = line.substr(std::min(line.size(), tag.size() + 1));
            std::string reply;
            if (command.rfind("AUTHENTICATE", 0) == 0 || command.rfind("LOGIN", 0) == 0) {
                ++logins;
                idleTag_.clear();  // a new connection
            } else if (command.rfind("STATUS ", 0) == 0) {
                // The folder as the client named it, whichever it is.
                const std::string folder = command.substr(7, command.rfind(" (") - 7);
                reply = "* STATUS " + folder + " (UNSEEN " + std::to_string(unseen.size()) + " UIDNEXT " +
                        std::to_string(uidNext) + " UIDVALIDITY " + std::to_string(uidValidity) + ")\r\n";
            } else if (command.rfind("EXAMINE ", 0) == 0) {
                reply = "* OK [UIDVALIDITY " + std::to_string(uidValidity) + "] v\r\n* OK [UIDNEXT " +
                        std::to_string(uidNext) + "] n\r\n";
            } else if (command == "UID SEARCH UNSEEN") {
                reply = "* SEARCH";
                for (const auto& entry : unseen) reply += " " + std::to_string(entry.first);
                reply += "\r\n";
                if (afterSearch) std::exchange(afterSearch, nullptr)();
            } else if (command.rfind("UID FETCH ", 0) == 0) {
                ++fetches;
                const int uid = std::stoi(command.substr(10));
                const std::string header = "From:" + unseen.at(uid) + "\r\n\r\n";
                reply = "* 1 FETCH (UID " + std::to_string(uid) + " BODY[HEADER.FIELDS (FROM)] {" +
                        std::to_string(header.size()) + "}\r\n" + header + ")\r\n";
            } else if (command == "IDLE" && idle) {
                idleTag_ = tag;
                server.Send("+ idling\r\n");
                return true;
            } else if (command == "LOGOUT") {
                server.Send("* BYE\r\n" + tag + " OK\r\n");
                server.CloseClient();
                return true;
            } else {
                server.Send(tag + " BAD unknown\r\n");
                return true;
            }
            server.Send(reply + tag + " OK\r\n");
            return true;
        };
    }

    // The greeting, with IDLE among the capabilities when `idle` is on.
    void Greet() {
        server.Greeting = std::string("* OK [CAPABILITY IMAP4rev1 AUTH=PLAIN SASL-IR") + (idle ? " IDLE" : "") +
                          "] hi\r\n";
    }
    bool Idling() const { return !idleTag_.empty(); }
    // A message arrives (and an idling client is told, or any client when
    // `tell`: servers tell of news with the answer to any command).
    void Deliver(const std::string& from, bool tell = false) {
        unseen[uidNext++] = from;
        if (Idling() || tell) server.Send("* " + std::to_string(unseen.size()) + " EXISTS\r\n");
    }
    // Message `uid` is read on another device.
    void Read(int uid) {
        unseen.erase(uid);
        if (Idling()) server.Send("* 1 FETCH (FLAGS (\\Seen))\r\n");
    }
    // Takes the fetches counted so far.
    int TakeFetches() { return std::exchange(fetches, 0); }

private:
    std::string idleTag_;
};

}  // namespace TestSupport
