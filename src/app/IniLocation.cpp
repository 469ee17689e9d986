#include "app/IniLocation.h"

#include "platform/AsciiText.h"
#include "platform/FileAccess.h"

#include <QDir>
#include <QFileInfo>

namespace {

std::string& iniOption() {
    static std::string value;
    return value;
}

std::string configHome() {
    const QString xdg = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (!xdg.isEmpty() && QDir::isAbsolutePath(xdg)) return xdg.toLocal8Bit().toStdString();
    QString home = qEnvironmentVariable("HOME");
    if (home.isEmpty()) home = QDir::homePath();
    return (home + "/.config").toLocal8Bit().toStdString();
}

// The installed tree's desktop program, relative to the folder that holds
// bin/ (see data/CMakeLists.txt).
constexpr const char* kInstalledDesktopProgram = "libexec/vesk/vesk-desktop";

// True for Vesk in an installed tree: PREFIX/bin/Vesk with
// PREFIX/libexec/vesk/vesk-desktop beside bin/, or that vesk-desktop itself.
bool IsInstalled(const std::string& exePath) {
    const QFileInfo exe(QString::fromLocal8Bit(exePath));
    const QDir prefix(exe.absolutePath() + "/..");
    if (QFileInfo(prefix.filePath(kInstalledDesktopProgram)).isFile()) return true;
    const QString self = QDir::cleanPath(exe.absoluteFilePath());
    return self.endsWith(QString("/") + kInstalledDesktopProgram) && exe.isFile();
}

}  // namespace

std::string IniBesideExecutable(const std::string& exePath) {
    const bool endsWithExe =
        exePath.size() >= 4 && EqualNoCaseAscii(std::string_view(exePath).substr(exePath.size() - 4), ".exe");
    if (endsWithExe) return exePath.substr(0, exePath.size() - 3) + "ini";
    return exePath + ".ini";
}

std::string ChooseIniPath(const std::string& exePath, const std::string& option) {
    if (!option.empty()) return option;
    if (!IsInstalled(exePath)) {
        const std::string beside = IniBesideExecutable(exePath);
        const QFileInfo besideInfo(QString::fromLocal8Bit(beside));
        if (besideInfo.exists() || CanCreateFilesIn(besideInfo.absolutePath().toLocal8Bit().toStdString()))
            return beside;
    }
    const std::string folder = configHome() + "/vesk";
    MakePrivateFolder(folder);
    return folder + "/Vesk.ini";
}

void SetIniOption(std::string path) { iniOption() = std::move(path); }

const std::string& IniOption() { return iniOption(); }
