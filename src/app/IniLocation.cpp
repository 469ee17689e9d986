#include "app/IniLocation.h"

#include "app/Main.h"

namespace {

std::string& IniOptionValue() {
    static std::string value;
    return value;
}

}  // namespace

std::string ChooseIniPath(const std::string& exePath, const std::string& iniOption) {
    return iniOption.empty() ? TfrmMain::IniPathOf(exePath) : iniOption;
}

void SetIniOption(std::string path) { IniOptionValue() = std::move(path); }
const std::string& IniOption() { return IniOptionValue(); }
