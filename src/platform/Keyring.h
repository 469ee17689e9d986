// Account passwords in the desktop keyring: the freedesktop Secret Service
// (GNOME Keyring, KWallet), through QtKeychain. Every entry belongs to the
// service kKeyringService and is found by its key, "<user>@<server>:<port>"
// for an account (KeyringKeyOf in settings/SettingsFile.h).
//
// Reads and writes are asynchronous: the call returns at once and `done`
// runs later from the event loop, never from inside the call, however long
// the keyring takes (an unlock prompt may be on screen meanwhile). The
// caller that may be gone by then guards its callback itself.
// Tests install TFakeKeyringHost.
#pragma once

#include <functional>
#include <map>
#include <string>

inline constexpr const char* kKeyringService = "Vesk";
// A key no entry ever has: reading it tells whether a keyring answers at all
// (not found) without asking the user to unlock anything.
inline constexpr const char* kKeyringProbeKey = "Vesk keyring probe";

struct TKeyringResult {
    bool Ok = false;
    // The key has no entry (Ok is false): not a failure of the keyring.
    bool NotFound = false;
    std::string Secret;  // after a read that succeeded
    std::string Error;   // why it failed, the keyring's own words
};

class TKeyringHost {
public:
    using TDone = std::function<void(const TKeyringResult& result)>;
    virtual ~TKeyringHost() = default;
    virtual void Read(const std::string& key, TDone done) = 0;
    virtual void Write(const std::string& key, const std::string& secret, TDone done) = 0;
};

// Installs `host` (nullptr: the real one) and returns the one it replaces.
TKeyringHost* SetKeyringHost(TKeyringHost* host);
TKeyringHost* CurrentKeyringHost();

void ReadKeyring(const std::string& key, TKeyringHost::TDone done);
void WriteKeyring(const std::string& key, const std::string& secret, TKeyringHost::TDone done);

// Keeps the entries in memory; while Failure is set every request fails with
// it. Answers from the event loop, as the real keyring does.
class TFakeKeyringHost : public TKeyringHost {
public:
    void Read(const std::string& key, TDone done) override;
    void Write(const std::string& key, const std::string& secret, TDone done) override;
    std::map<std::string, std::string> entries;
    std::string Failure;
    int reads = 0, writes = 0;
};
