#include "support/TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace TestSupport {

std::vector<std::string>& EscapedExceptions() {
    static std::vector<std::string> list;
    return list;
}

bool WaitFor(const std::function<bool()>& done, int timeoutMs) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        qint64 left = timeoutMs - clock.elapsed();
        if (left <= 0) return done();
        Application->WaitMessage(static_cast<int>(std::min<qint64>(left, 50)));
    }
    return true;
}

TempDir::TempDir() {
    QTemporaryDir dir(QDir::tempPath() + "/vesk-test-XXXXXX");
    dir.setAutoRemove(false);
    if (!dir.isValid()) throw std::runtime_error("cannot create a temporary folder");
    path_ = dir.path().toStdString();
}

TempDir::~TempDir() { QDir(QString::fromStdString(path_)).removeRecursively(); }

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::string CopyProgram(const std::string& binDir, const std::string& folder) {
    for (const char* name : {"Vesk", "vesk-desktop"}) {
        std::error_code error;
        std::filesystem::copy_file(binDir + "/" + name, folder + "/" + name, error);
        if (error) return "";
    }
    return folder + "/Vesk";
}

}  // namespace TestSupport
