#include "app/DesktopProgram.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

constexpr const char* kDesktopProgramName = "vesk-desktop";
// Where the front leaves its own path for the desktop program.
constexpr const char* kFrontPathVariable = "VESK_FRONT_PATH";

}  // namespace

std::string DesktopProgramFor(const std::string& frontPath, const std::string& relativeFolder) {
    const QDir folder = QFileInfo(QString::fromLocal8Bit(frontPath)).absoluteDir();
    const QString beside = folder.filePath(kDesktopProgramName);
    if (QFileInfo(beside).isFile()) return beside.toLocal8Bit().toStdString();
    const QString installed =
        QDir::cleanPath(folder.filePath(QString::fromLocal8Bit(relativeFolder) + "/" + kDesktopProgramName));
    return installed.toLocal8Bit().toStdString();
}

int StartDesktopProgram(char** argv) {
    // The executable's own path; without /proc, the path it was started by.
    QString self = QFileInfo("/proc/self/exe").canonicalFilePath();
    if (self.isEmpty() && argv[0]) self = QFileInfo(QString::fromLocal8Bit(argv[0])).absoluteFilePath();
    const std::string frontPath = self.toLocal8Bit().toStdString();
    const std::string program = DesktopProgramFor(frontPath, VESK_DESKTOP_FOLDER_FROM_BIN);
    ::setenv(kFrontPathVariable, frontPath.c_str(), 1);
    ::execv(program.c_str(), argv);
    std::fprintf(stderr, "Vesk: cannot start the desktop program %s: %s\n", program.c_str(), std::strerror(errno));
    return 1;
}

std::string TakeProgramPath() {
    const char* front = std::getenv(kFrontPathVariable);
    std::string path = front && *front == '/' ? std::string(front) : std::string();
    ::unsetenv(kFrontPathVariable);
    if (path.empty()) path = QCoreApplication::applicationFilePath().toLocal8Bit().toStdString();
    return path;
}
