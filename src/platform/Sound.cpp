#include "platform/Sound.h"

#include <canberra.h>

#include <condition_variable>
#include <mutex>

namespace {

// Every sound is played under this one id, so cancelling it stops whatever
// this context is playing.
constexpr uint32_t kSoundId = 1;

class TCanberraSoundHost : public TSoundHost {
public:
    TCanberraSoundHost() {
        if (ca_context_create(&FContext) != CA_SUCCESS) {
            FContext = nullptr;
            return;
        }
        ca_context_change_props(FContext, CA_PROP_APPLICATION_NAME, "Vesk", CA_PROP_APPLICATION_ID, "vesk", nullptr);
    }

    ~TCanberraSoundHost() override {
        if (FContext) ca_context_destroy(FContext);
    }

    BOOL PlaySound(const char* name, UINT flags) override {
        if (!FContext) return FALSE;
        // A new request ends the sound still playing, whether or not the new
        // one can be played.
        ca_context_cancel(FContext, kSoundId);
        if (!name || !*name) return name ? FALSE : TRUE;

        ca_proplist* props = nullptr;
        if (ca_proplist_create(&props) != CA_SUCCESS) return FALSE;
        ca_proplist_sets(props, CA_PROP_MEDIA_FILENAME, name);
        ca_proplist_sets(props, CA_PROP_MEDIA_ROLE, "event");
        // Played straight from the file: the user may change it between plays.
        ca_proplist_sets(props, CA_PROP_CANBERRA_CACHE_CONTROL, "never");

        int result;
        if (flags & SND_ASYNC) {
            result = ca_context_play_full(FContext, kSoundId, props, nullptr, nullptr);
        } else {
            Completion done;
            result = ca_context_play_full(FContext, kSoundId, props, &TCanberraSoundHost::Finished, &done);
            if (result == CA_SUCCESS) done.Wait();
        }
        ca_proplist_destroy(props);
        return result == CA_SUCCESS ? TRUE : FALSE;
    }

private:
    // Signalled by the library's playback thread when a sound ends.
    struct Completion {
        std::mutex mutex;
        std::condition_variable cv;
        bool finished = false;
        void Wait() {
            std::unique_lock lock(mutex);
            cv.wait(lock, [this] { return finished; });
        }
    };

    static void Finished(ca_context*, uint32_t, int, void* data) {
        auto* done = static_cast<Completion*>(data);
        std::lock_guard lock(done->mutex);
        done->finished = true;
        done->cv.notify_all();
    }

    ca_context* FContext = nullptr;
};

TSoundHost*& InstalledHost() {
    static TSoundHost* host = nullptr;
    return host;
}

}  // namespace

std::unique_ptr<TSoundHost> NewCanberraSoundHost() { return std::make_unique<TCanberraSoundHost>(); }

TSoundHost* SetSoundHost(TSoundHost* host) {
    TSoundHost* previous = InstalledHost();
    InstalledHost() = host;
    return previous;
}

TSoundHost* CurrentSoundHost() {
    if (TSoundHost* host = InstalledHost()) return host;
    static std::unique_ptr<TSoundHost> real = NewCanberraSoundHost();
    return real.get();
}

BOOL sndPlaySoundA(const char* soundName, UINT flags) { return CurrentSoundHost()->PlaySound(soundName, flags); }

BOOL TFakeSoundHost::PlaySound(const char* name, UINT flags) {
    Calls.push_back({name == nullptr, name ? name : "", flags});
    return name ? Result : TRUE;
}

std::vector<std::string> TFakeSoundHost::Played() const {
    std::vector<std::string> names;
    for (const auto& c : Calls)
        if (!c.null) names.push_back(c.name);
    return names;
}
