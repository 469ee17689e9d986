// One account check run to its end, the way the poll cycle runs it (for the
// test binaries that link the check library).
#pragma once

#include "check/AccountCheck.h"

#include <gtest/gtest.h>

namespace TestSupport {

// Runs one check of `target` over a session of TSession's protocol with its
// own engine, `cache` (may be null) keeping the From values of slot 0, the
// target's password command limited to `commandSeconds`.
template <class TSession = TPop3Session>
TCheckResult Check(const TCheckTarget& target, TFromCache* cache = nullptr, int silence = kSilenceLimitSeconds,
                   int commandSeconds = kPasswordCommandSeconds) {
    TSession session;
    TAccountCheck check(session, target, cache, 0);
    check.SilenceLimit = silence;
    check.PasswordCommandSeconds = commandSeconds;
    check.Run();
    EXPECT_TRUE(check.Finished());
    return check.Result();
}

}  // namespace TestSupport
