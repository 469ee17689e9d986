#include "platform/Profile.h"

#include "platform/AsciiText.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <climits>
#include <fcntl.h>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

void (*g_beforeReplace)(const char*) = nullptr;

std::string_view TrimBlanks(std::string_view s) {
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; };
    while (!s.empty() && blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && blank(s.back())) s.remove_suffix(1);
    return s;
}

// One line of the file: its text and its own line end ("\r\n", "\n", or
// nothing for a last line without one), so lines a write does not touch are
// written back byte for byte even in a file with mixed line ends.
struct Line {
    std::string text;
    std::string eol;
};

struct ProfileText {
    std::vector<Line> lines;
    std::string eol = "\n";  // the line end of new lines: the first line's
};

std::optional<std::string> ReadWholeFile(const char* path) {
    FILE* f = std::fopen(path, "rb");
    if (!f) return std::nullopt;
    std::string data;
    char buf[8192];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) data.append(buf, n);
    std::fclose(f);
    return data;
}

ProfileText ParseProfile(const std::string& data) {
    ProfileText p;
    size_t lf = data.find('\n');
    if (lf != std::string::npos && lf > 0 && data[lf - 1] == '\r') p.eol = "\r\n";
    size_t pos = 0;
    while (pos < data.size()) {
        size_t nl = data.find('\n', pos);
        if (nl == std::string::npos) {
            p.lines.push_back({data.substr(pos), ""});
            break;
        }
        size_t end = nl;
        if (end > pos && data[end - 1] == '\r') --end;
        p.lines.push_back({data.substr(pos, end - pos), data.substr(end, nl + 1 - end)});
        pos = nl + 1;
    }
    return p;
}

std::string RenderProfile(const ProfileText& p) {
    std::string out;
    for (const Line& l : p.lines) {
        out += l.text;
        out += l.eol;
    }
    return out;
}

// Adds a line before index `at` (at most the end), ending in the file's line
// end; a last line without one gets one when the new line follows it.
void InsertLine(ProfileText& p, size_t at, std::string text) {
    if (at == p.lines.size() && at > 0 && p.lines[at - 1].eol.empty()) p.lines[at - 1].eol = p.eol;
    p.lines.insert(p.lines.begin() + static_cast<long>(at), Line{std::move(text), p.eol});
}

// The section name of a header line, or nullopt when the line is no header.
std::optional<std::string_view> SectionName(std::string_view line) {
    std::string_view t = TrimBlanks(line);
    if (t.empty() || t.front() != '[') return std::nullopt;
    t.remove_prefix(1);
    size_t close = t.find(']');
    if (close != std::string_view::npos) t = t.substr(0, close);
    return TrimBlanks(t);
}

// Splits a key line into trimmed key and value; nullopt when it has no "=".
std::optional<std::pair<std::string_view, std::string_view>> keyValue(std::string_view line) {
    size_t eq = line.find('=');
    if (eq == std::string_view::npos) return std::nullopt;
    return std::make_pair(TrimBlanks(line.substr(0, eq)), TrimBlanks(line.substr(eq + 1)));
}

// Index range [first, last) of the body of the first section named `name`;
// first points at the header line. nullopt when there is none.
std::optional<std::pair<size_t, size_t>> findSection(const ProfileText& p, std::string_view name) {
    for (size_t i = 0; i < p.lines.size(); ++i) {
        auto s = SectionName(p.lines[i].text);
        if (s && EqualNoCaseAscii(*s, name)) {
            size_t j = i + 1;
            while (j < p.lines.size() && !SectionName(p.lines[j].text)) ++j;
            return std::make_pair(i, j);
        }
    }
    return std::nullopt;
}

DWORD CopyOut(const std::string& value, char* buffer, DWORD size) {
    if (!buffer || size == 0) return 0;
    DWORD n = static_cast<DWORD>(std::min<size_t>(value.size(), size - 1));
    std::memcpy(buffer, value.data(), n);
    buffer[n] = '\0';
    return n;
}

// Copies a list of zero-terminated names followed by one more zero byte; when
// it does not fit, as many names as fit and the result size - 2.
DWORD CopyList(const std::vector<std::string>& names, char* buffer, DWORD size) {
    if (!buffer || size == 0) return 0;
    if (size == 1) {
        buffer[0] = '\0';
        return 0;
    }
    std::string all;
    for (const auto& n : names) {
        all += n;
        all += '\0';
    }
    if (all.size() + 1 <= size) {
        std::memcpy(buffer, all.data(), all.size());
        buffer[all.size()] = '\0';
        if (all.empty() && size > 1) buffer[1] = '\0';
        return static_cast<DWORD>(all.size());
    }
    std::memcpy(buffer, all.data(), size - 2);
    buffer[size - 2] = '\0';
    buffer[size - 1] = '\0';
    return size - 2;
}

bool WriteAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// The file that a write really replaces: the target of a symbolic link, so
// that a linked settings file stays linked.
std::string ResolveTarget(const char* path) {
    char resolved[PATH_MAX];
    struct stat st;
    if (::lstat(path, &st) == 0 && S_ISLNK(st.st_mode) && ::realpath(path, resolved)) return resolved;
    return path;
}

bool ReplaceFileContent(const std::string& path, const std::string& content) {
    struct stat st;
    bool exists = ::stat(path.c_str(), &st) == 0;
    if (exists) {
        if (!S_ISREG(st.st_mode)) {
            errno = EISDIR;
            return false;
        }
        if ((st.st_mode & 0222) == 0 || ::access(path.c_str(), W_OK) != 0) {
            errno = EACCES;
            return false;
        }
    }
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string tmpl = (slash == std::string::npos ? std::string() : dir) + "." + base + ".XXXXXX";
    std::vector<char> name(tmpl.begin(), tmpl.end());
    name.push_back('\0');
    int fd = ::mkstemp(name.data());
    if (fd < 0) return false;
    mode_t mode = exists ? (st.st_mode & 07777) : 0600;
    bool ok = ::fchmod(fd, mode) == 0;
    if (ok && exists && (st.st_uid != ::geteuid() || st.st_gid != ::getegid())) {
        // Keep the owner when we may (root editing a user's file); not being
        // allowed to is no reason to refuse the write.
        if (::fchown(fd, st.st_uid, st.st_gid) != 0) errno = 0;
    }
    ok = ok && WriteAll(fd, content);
    int saved = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        saved = errno;
    }
    if (ok && g_beforeReplace) g_beforeReplace(name.data());
    if (ok && ::rename(name.data(), path.c_str()) != 0) {
        ok = false;
        saved = errno;
    }
    if (!ok) {
        ::unlink(name.data());
        errno = saved;
    }
    return ok;
}

bool FlushFile(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT;  // nothing written yet: nothing to flush
    bool ok = ::fsync(fd) == 0;
    ::close(fd);
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
    int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return ok;
}

}  // namespace

DWORD GetPrivateProfileStringA(const char* section, const char* key, const char* def,
                               char* buffer, DWORD size, const char* fileName) {
    std::string fallback(def ? TrimBlanks(def) : std::string_view());
    if (!fileName) return CopyOut(fallback, buffer, size);
    auto data = ReadWholeFile(fileName);
    ProfileText p = data ? ParseProfile(*data) : ProfileText{};

    if (!section) {
        std::vector<std::string> names;
        for (const auto& l : p.lines)
            if (auto s = SectionName(l.text)) names.emplace_back(*s);
        return CopyList(names, buffer, size);
    }
    auto range = findSection(p, section);
    if (!key) {
        std::vector<std::string> names;
        if (range)
            for (size_t i = range->first + 1; i < range->second; ++i)
                if (auto kv = keyValue(p.lines[i].text); kv && !kv->first.empty()) names.emplace_back(kv->first);
        return CopyList(names, buffer, size);
    }
    if (range) {
        for (size_t i = range->first + 1; i < range->second; ++i) {
            auto kv = keyValue(p.lines[i].text);
            if (kv && EqualNoCaseAscii(kv->first, key)) return CopyOut(std::string(kv->second), buffer, size);
        }
    }
    return CopyOut(fallback, buffer, size);
}

BOOL WritePrivateProfileStringA(const char* section, const char* key, const char* value,
                                const char* fileName) {
    if (!fileName || !*fileName) {
        errno = EINVAL;
        return FALSE;
    }
    std::string path = ResolveTarget(fileName);
    if (!section && !key && !value) return FlushFile(path) ? TRUE : FALSE;
    if (!section) {
        errno = EINVAL;
        return FALSE;
    }

    auto data = ReadWholeFile(path.c_str());
    if (!data && errno != ENOENT) return FALSE;
    ProfileText p = data ? ParseProfile(*data) : ProfileText{};
    auto range = findSection(p, section);

    if (!key) {  // remove the section
        if (!range) return TRUE;
        p.lines.erase(p.lines.begin() + static_cast<long>(range->first),
                      p.lines.begin() + static_cast<long>(range->second));
        return ReplaceFileContent(path, RenderProfile(p)) ? TRUE : FALSE;
    }
    std::string line = std::string(key) + "=" + (value ? value : "");
    if (range) {
        for (size_t i = range->first + 1; i < range->second; ++i) {
            auto kv = keyValue(p.lines[i].text);
            if (kv && EqualNoCaseAscii(kv->first, key)) {
                if (value)
                    p.lines[i].text = line;
                else
                    p.lines.erase(p.lines.begin() + static_cast<long>(i));
                return ReplaceFileContent(path, RenderProfile(p)) ? TRUE : FALSE;
            }
        }
        if (!value) return TRUE;
        size_t at = range->second;
        while (at > range->first + 1 && TrimBlanks(p.lines[at - 1].text).empty()) --at;
        InsertLine(p, at, line);
    } else {
        if (!value) return TRUE;
        bool hasText = false;
        for (const auto& l : p.lines) hasText = hasText || !TrimBlanks(l.text).empty();
        if (hasText && !TrimBlanks(p.lines.back().text).empty()) InsertLine(p, p.lines.size(), "");
        InsertLine(p, p.lines.size(), "[" + std::string(section) + "]");
        InsertLine(p, p.lines.size(), line);
    }
    return ReplaceFileContent(path, RenderProfile(p)) ? TRUE : FALSE;
}

void SetProfileBeforeReplaceHook(void (*hook)(const char*)) { g_beforeReplace = hook; }

TProfileValues::TProfileValues(const char* fileName) {
    auto data = fileName ? ReadWholeFile(fileName) : std::nullopt;
    if (!data) return;
    const ProfileText p = ParseProfile(*data);
    std::map<std::string, std::string>* current = nullptr;
    for (const Line& l : p.lines) {
        if (auto s = SectionName(l.text)) {
            // Only the first section of a name counts; the lines of a later
            // one are never read.
            auto [at, added] = FSections.try_emplace(LowerAscii(std::string(*s)));
            current = added ? &at->second : nullptr;
            continue;
        }
        if (!current) continue;
        if (auto kv = keyValue(l.text)) current->try_emplace(LowerAscii(std::string(kv->first)), kv->second);
    }
}

const std::string* TProfileValues::Find(std::string_view section, std::string_view key) const {
    auto s = FSections.find(LowerAscii(std::string(section)));
    if (s == FSections.end()) return nullptr;
    auto k = s->second.find(LowerAscii(std::string(key)));
    return k == s->second.end() ? nullptr : &k->second;
}
