// Checks many accounts at once: one asynchronous POP3 engine per account, all
// connections in flight together, driven by the event loop (no threads, no
// busy wait). Each account logs in (USER/PASS or APOP), asks STAT and says
// QUIT; each gives up after Timeout seconds without a received line, as the
// poll cycle's client does.
#pragma once

#include <string>
#include <vector>

// What checking one account needs.
struct TCheckTarget {
    std::string Name;
    std::string Server;
    int Port = 110;
    std::string UserName;
    std::string Password;
    bool APop = false;
    // 0 plain, 1 TLS from the first byte, 2 STLS; the certificate pin.
    int Security = 0;
    std::string Fingerprint{};
    // Why the account's settings forbid a check (AccountSettingsError); the
    // account then fails with it before any connection.
    std::string SettingsError{};
};

struct TCheckResult {
    // False for an account without server or user name: it was not checked.
    bool Checked = false;
    // True when STAT answered; Count is then the number of messages.
    bool Ok = false;
    int Count = 0;
    // The engine's error text when the check failed ("426 Timeout" after the
    // silence limit).
    std::string Error;
};

class TCheckAll {
public:
    // Seconds without a received line after which an account fails; 0 or
    // less: no limit.
    int Timeout = 15;

    // Checks every account and returns their results in the same order. Runs
    // a local event loop until the last account is done.
    std::vector<TCheckResult> Run(const std::vector<TCheckTarget>& accounts);
};
