// Playing sound files by name.
//
// sndPlaySoundA starts playing a WAV file and, with SND_ASYNC, returns at
// once while it plays. A new call replaces a sound still playing; a null name
// only stops it. A file that is missing, corrupt or of an unsupported kind
// plays nothing and reports nothing beyond the FALSE result. There is no
// default sound to fall back on, so every call behaves as if SND_NODEFAULT
// were given.
//
// The work is done by the current sound host: by default one over the
// desktop's event-sound library; tests install TFakeSoundHost.
#pragma once

#include "platform/WinTypes.h"

#include <memory>
#include <string>
#include <vector>

constexpr UINT SND_SYNC = 0;
constexpr UINT SND_ASYNC = 1;
constexpr UINT SND_NODEFAULT = 2;

BOOL sndPlaySoundA(const char* soundName, UINT flags);

class TSoundHost {
public:
    virtual ~TSoundHost() = default;
    // `name` may be nullptr (stop the sound playing).
    virtual BOOL PlaySound(const char* name, UINT flags) = 0;
};

// Installs `host` (nullptr: the real one) and returns the one it replaces. The
// caller keeps ownership of a host it installs.
TSoundHost* SetSoundHost(TSoundHost* host);
TSoundHost* CurrentSoundHost();

// The real player, with a playback context of its own.
std::unique_ptr<TSoundHost> NewCanberraSoundHost();

// Test double: records every call.
class TFakeSoundHost : public TSoundHost {
public:
    struct Call {
        bool null;         // called with nullptr
        std::string name;  // the name given (empty when null)
        UINT flags;
    };
    BOOL PlaySound(const char* name, UINT flags) override;
    // The names of the calls that were not null, in order.
    std::vector<std::string> Played() const;

    std::vector<Call> Calls;
    BOOL Result = TRUE;  // what PlaySound answers for a name
};
