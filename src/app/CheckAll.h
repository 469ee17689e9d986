// Checks many accounts at once: one account check (src/check) per account,
// all connections in flight together, driven by the event loop (no threads,
// no busy wait).
#pragma once

#include "check/AccountCheck.h"

#include <vector>

class TCheckAll {
public:
    // Seconds without a received line after which an account fails; 0 or
    // less: no limit.
    int Timeout = kSilenceLimitSeconds;

    // Checks every account and returns their results in the same order. Runs
    // a local event loop until the last account is done. Accounts without
    // server or user name are skipped (not Checked), as the poll cycle skips
    // them.
    std::vector<TCheckResult> Run(const std::vector<TCheckTarget>& accounts);
};
