#include "platform/FileAccess.h"

#include <filesystem>
#include <string>

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

bool CanCreateFilesIn(const std::string& dir) {
    std::string probe = (dir.empty() ? std::string(".") : dir) + "/.vesk-probe-XXXXXX";
    int fd = ::mkstemp(probe.data());
    if (fd < 0) return false;
    ::close(fd);
    ::unlink(probe.c_str());
    return true;
}

bool MakePrivateFolder(const std::string& dir) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path path(dir);
    if (fs::is_directory(path, ec)) return true;
    if (path.has_parent_path() && path.parent_path() != path) fs::create_directories(path.parent_path(), ec);
    // mkdir honours the umask, which can only take bits away from 0700.
    if (::mkdir(dir.c_str(), 0700) != 0 && !fs::is_directory(path, ec)) return false;
    return fs::is_directory(path, ec);
}
