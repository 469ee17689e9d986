#include "signals/Siren.h"

#include "framework/IniFiles.h"
#include "platform/Sound.h"

#include <memory>

namespace {

const char* const kSection = "Siren";
constexpr int kLastTarget = 5;

void PlaySong(const std::string& song) { sndPlaySoundA(song.c_str(), SND_ASYNC | SND_NODEFAULT); }

}  // namespace

void TSiren::LoadTable() {
    auto ini = std::make_unique<TIniFile>(IniPath);
    Targets.clear();
    Songs.clear();
    Targets.push_back(ini->ReadString(kSection, "Target0", ""));
    Songs.push_back(ini->ReadString(kSection, "Song0", ""));
    for (int n = 1;; ++n) {
        std::string target = ini->ReadString(kSection, "Target" + std::to_string(n), "");
        std::string song = ini->ReadString(kSection, "Song" + std::to_string(n), "");
        if (!target.empty() || !song.empty()) {
            Targets.push_back(target);
            Songs.push_back(song);
        }
        if (target.empty() || song.empty() || n >= kLastTarget) break;
    }
}

bool TSiren::Play(const std::string& text) {
    LoadTable();
    for (std::size_t i = 1; i < Targets.size(); ++i) {
        if (!Targets[i].empty() && text.find(Targets[i]) != std::string::npos) {
            // A matching target with no song still counts: it plays nothing
            // and keeps the fallback quiet.
            PlaySong(Songs[i]);
            return true;
        }
    }
    if (!Songs[0].empty()) PlaySong(Songs[0]);
    return false;
}
