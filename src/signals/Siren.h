// The siren: a sound chosen by who the waiting mail is from.
//
// Reads its table from section Siren of the INI file at IniPath: Target0 and
// Song0 (the fallback song), then Target1/Song1 up to Target5/Song5 until the
// first number whose target or song is empty. Play plays the song of the
// first numbered target found in the text (exact, case-sensitive bytes), or
// else the fallback song.
#pragma once

#include "framework/Classes.h"

#include <string>
#include <vector>

class TSiren : public TObject {
public:
    // Fills Targets and Songs afresh from the file at IniPath.
    void LoadTable();

    // Loads the table, plays the chosen song without waiting for it, and
    // returns whether a numbered target (1 and up) occurs in `text`.
    bool Play(const std::string& text);

    // Position i of Songs belongs to position i of Targets; position 0 holds
    // Target0 (never compared) and the fallback Song0.
    std::vector<std::string> Targets;
    std::vector<std::string> Songs;
    std::string IniPath;
};
