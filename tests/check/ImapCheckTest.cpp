// One account's check over IMAP against a scripted mailbox on loopback: the
// count is the folder's unseen mail, the From lines are the newest unseen
// messages', and a second check reads them from the cache.
#include "check/AccountCheck.h"
#include "support/ScriptedPop3Server.h"

#include <gtest/gtest.h>

#include <map>

using TestSupport::TScriptedPop3Server;

TEST(ImapCheck, CountsUnseenMailAndReadsTheNewestFromLinesOnce) {
    // Unseen messages by UID (10 was read, so it is not counted).
    std::map<int, std::string> unseen = {{3, " old@example.org"}, {7, " mid@example.org"}, {8, " new@example.org"}};
    int fetches = 0;
    TScriptedPop3Server box;
    box.Greeting = "* OK [CAPABILITY IMAP4rev1 AUTH=PLAIN SASL-IR] hi\r\n";
    box.OnCommand = [&](const std::string& line) {
        const std::string tag = line.substr(0, line.find(' '));
        const std::string command = line.substr(tag.size() + 1);
        std::string reply;
        if (command.rfind("STATUS ", 0) == 0) {
            reply = "* STATUS INBOX (UNSEEN " + std::to_string(unseen.size()) + " UIDNEXT 11 UIDVALIDITY 5)\r\n";
        } else if (command == "UID SEARCH UNSEEN") {
            reply = "* SEARCH";
            for (const auto& entry : unseen) reply += " " + std::to_string(entry.first);
            reply += "\r\n";
        } else if (command.rfind("UID FETCH ", 0) == 0) {
            ++fetches;
            const int uid = std::stoi(command.substr(10));
            const std::string header = "From:" + unseen.at(uid) + "\r\n\r\n";
            reply = "* 1 FETCH (UID " + std::to_string(uid) + " BODY[HEADER.FIELDS (FROM)] {" +
                    std::to_string(header.size()) + "}\r\n" + header + ")\r\n";
        } else if (command == "LOGOUT") {
            box.Send("* BYE\r\n" + tag + " OK\r\n");
            box.CloseClient();
            return true;
        }
        box.Send(reply + tag + " OK\r\n");
        return true;
    };
    TCheckTarget target;
    target.Server = "127.0.0.1";
    target.Port = box.Port();
    target.UserName = "u";
    target.Secret = "p";
    target.WantFrom = true;
    TFromCache cache;
    const auto check = [&] {
        TImapSession session;
        TAccountCheck run(session, target, &cache, 0);
        run.Run();
        EXPECT_TRUE(run.Finished());
        return run.Result();
    };
    using Lines = std::vector<std::string>;

    TCheckResult first = check();
    ASSERT_TRUE(first.Ok) << first.Error;
    EXPECT_EQ(first.Count, 3);
    EXPECT_EQ(first.FromLines, (Lines{" new@example.org", " mid@example.org", " old@example.org"}));
    EXPECT_EQ(std::exchange(fetches, 0), 3);
    EXPECT_TRUE(box.Got("A1 AUTHENTICATE PLAIN AHUAcA=="));

    unseen.erase(3);
    unseen[9] = " newest@example.org";
    TCheckResult second = check();
    ASSERT_TRUE(second.Ok) << second.Error;
    EXPECT_EQ(second.FromLines, (Lines{" newest@example.org", " new@example.org", " mid@example.org"}));
    EXPECT_EQ(fetches, 1) << "only the message the cache has not seen is fetched";
    EXPECT_TRUE(box.Got("A5 UID FETCH 9 (BODY.PEEK[HEADER.FIELDS (FROM)])"));
}
