// What a poll cycle tells the user, as pure functions of the cycle's result:
// the status lines (window and tooltip), the tooltip, and the text of the
// new-mail notification. The LED's part is DecideLed (LedDecision.h).
#pragma once

#include "check/AccountCheck.h"

#include <string>
#include <vector>

// One checked account of a cycle.
struct TCycleAccount {
    int Position = 0;
    std::string Name;
    TCheckResult Result;
    // A failed push account: the clock time of its next attempt ("HH:mm:ss").
    std::string NextAttempt{};
};

// A poll cycle's result.
struct TCycleResult {
    // Message counts by position as the cycle began; a position past the end
    // had no mail.
    std::vector<int> Previous;
    // The accounts checked, in account order.
    std::vector<TCycleAccount> Checked;
    long long Total = 0;
    bool Failed = false;
    // The From lines the cycle read, one per message and each ended by a
    // line feed, for the siren.
    std::string FromLines;
};

// One line per checked account ("Home: 3 messages", "Work: login failed:
// <reason>", with " (next attempt <clock>)" after a failed push account's),
// then "Last check: <clock>".
std::vector<std::string> StatusLinesOf(const TCycleResult& Cycle, const std::string& Clock);

// "Vesk", then the status lines, one per line.
std::string TrayTipOf(const std::vector<std::string>& StatusLines);

// The body of the new-mail notification: a line per account that got new
// mail, then (when `WithFrom`) the first three non-empty From lines read;
// empty when no count grew.
std::string NewMailNoticeOf(const TCycleResult& Cycle, bool WithFrom);
