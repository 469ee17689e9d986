// What a cycle tells the user, from its result alone.
#include "app/CycleReport.h"

#include <gtest/gtest.h>

namespace {

TCycleAccount Counted(int p, const std::string& name, int count, bool newMail = false) {
    TCycleAccount a{p, name, {}};
    a.Result.Checked = a.Result.Ok = true;
    a.Result.Count = count;
    a.Result.NewMail = newMail;
    return a;
}

TCycleAccount Failed(int p, const std::string& name, TCheckStep step, const std::string& error, int count = 0) {
    TCycleAccount a{p, name, {}};
    a.Result.Checked = true;
    a.Result.Count = count;
    a.Result.FailedStep = step;
    a.Result.Error = error;
    return a;
}

}  // namespace

TEST(CycleReport, StatusLinesAndTooltip) {
    TCycleResult cycle;
    cycle.Checked = {Counted(0, "Home", 3), Counted(1, "Lists", 1), Counted(2, "Empty", 0),
                     Failed(3, "Work", TCheckStep::Login, "-ERR [AUTH] Authentication failed."),
                     Failed(4, "Old", TCheckStep::Connection, "426 Timeout"),
                     Failed(5, "Top", TCheckStep::Check, "-ERR no such message", 5),
                     Failed(6, "Push", TCheckStep::Connection, "IMAP: Connection refused")};
    cycle.Checked.back().NextAttempt = "14:05:13";
    const std::vector<std::string> lines = StatusLinesOf(cycle, "14:05:09");
    EXPECT_EQ(lines, (std::vector<std::string>{"Home: 3 messages", "Lists: 1 message", "Empty: 0 messages",
                                               "Work: login failed: -ERR [AUTH] Authentication failed.",
                                               "Old: connection failed: 426 Timeout",
                                               "Top: check failed: -ERR no such message",
                                               "Push: connection failed: IMAP: Connection refused (next attempt 14:05:13)",
                                               "Last check: 14:05:09"}));
    EXPECT_EQ(TrayTipOf({"Home: 3 messages", "Last check: 14:05:09"}), "Vesk\nHome: 3 messages\nLast check: 14:05:09");
    EXPECT_EQ(TrayTipOf({}), "Vesk");
}

TEST(CycleReport, NewMailNoticeNamesTheAccountsWithNewMailAndTheFirstFromLines) {
    struct Case {
        const char* what;
        std::vector<TCycleAccount> checked;
        std::string from;
        bool withFrom;
        std::string notice;
    } cases[] = {
        {"no new mail", {Counted(0, "Home", 3), Counted(1, "Work", 0)}, " x@example.org\n", true, ""},
        {"the accounts with new mail",
         {Counted(0, "Home", 2, true), Counted(1, "Old", 4), Counted(2, "New", 1, true)},
         "",
         false,
         "Home: 2 messages\nNew: 1 message"},
        {"a failed account is never announced", {Failed(0, "Top", TCheckStep::Check, "-ERR x", 5)}, "", true, ""},
        {"the first three From lines, blanks dropped, leading space cut",
         {Counted(0, "Home", 5, true)},
         " five@example.org\n\n four <f@x>\n\tthree@example.org\n two@example.org\n",
         true,
         "Home: 5 messages\nFrom: five@example.org\nFrom: four <f@x>\nFrom: three@example.org"},
        {"From lines only when the siren read them", {Counted(0, "Home", 1, true)}, " one@example.org\n", false,
         "Home: 1 message"},
    };
    for (const Case& c : cases) {
        TCycleResult cycle;
        cycle.Checked = c.checked;
        cycle.FromLines = c.from;
        EXPECT_EQ(NewMailNoticeOf(cycle, c.withFrom), c.notice) << c.what;
    }
}
