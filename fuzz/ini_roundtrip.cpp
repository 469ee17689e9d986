// libFuzzer target: the INI reader and writer on a file of arbitrary bytes.
// The whole-file reader (TProfileValues) must find what the key-by-key
// reader finds.
//
// Input: one operation byte, then section, key and value (each ending in a
// zero byte), then the file's text. The file is read as the settings dialog
// reads it (section list, key lists, values), changed by one write, and read
// again. Every write must succeed and leave a file the reader still takes.
// When the names and the value are ones a line can hold (no line break, no
// blanks around them, no "]" in the section, no "=" in the key and no "[" at
// its start), the write must also do exactly what was asked:
//   set:            the key reads back as the value, and writing it again
//                   leaves the file byte for byte as it was;
//   remove key:     nothing but that key changes;
//   remove section: nothing outside that section changes;
// and every other value the file held before reads the same afterwards.
#include "platform/AsciiText.h"
#include "platform/Profile.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <unistd.h>
#include <utility>
#include <vector>

#include "FuzzCheck.h"

namespace {

// Names and values read per input at most, so each run stays quick.
constexpr size_t kMaxSections = 8;
constexpr size_t kMaxKeys = 8;

std::string g_dir;
std::string g_path;

void removeDir() {
    ::unlink(g_path.c_str());
    ::rmdir(g_dir.c_str());
}

std::string fileText() {
    std::string out;
    FILE* f = std::fopen(g_path.c_str(), "rb");
    CHECK(f != nullptr);
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    std::fclose(f);
    return out;
}

void putFile(std::string_view text) {
    FILE* f = std::fopen(g_path.c_str(), "wb");
    CHECK(f != nullptr);
    CHECK(std::fwrite(text.data(), 1, text.size(), f) == text.size());
    CHECK(std::fclose(f) == 0);
}

// A list read into a buffer of `size` bytes: the names, each ending in a zero
// byte, and one more zero byte after the last; never more than the buffer.
std::vector<std::string> readList(const char* section, DWORD size) {
    std::vector<char> buffer(size);
    DWORD n = GetPrivateProfileStringA(section, nullptr, nullptr, buffer.data(), size, g_path.c_str());
    CHECK(n < size);
    CHECK(buffer[n] == '\0');
    CHECK(size == 1 || (n + 1 < size && buffer[n + 1] == '\0') || (n > 0 && buffer[n - 1] == '\0'));
    std::vector<std::string> names;
    for (size_t at = 0; at < n;) {
        size_t end = at;
        while (end < n && buffer[end] != '\0') ++end;
        names.emplace_back(buffer.data() + at, end - at);
        at = end + 1;
    }
    return names;
}

std::string readValue(const std::string& section, const std::string& key, DWORD size) {
    std::vector<char> buffer(size);
    DWORD n = GetPrivateProfileStringA(section.c_str(), key.c_str(), "\x01", buffer.data(), size, g_path.c_str());
    CHECK(n < size && buffer[n] == '\0');
    return std::string(buffer.data(), n);
}

using Values = std::map<std::pair<std::string, std::string>, std::string>;

// Every value the reader finds by the names its own lists give.
Values snapshot(DWORD size, std::vector<std::string>& sections) {
    Values values;
    sections = readList(nullptr, size);
    for (size_t s = 0; s < sections.size() && s < kMaxSections; ++s) {
        std::vector<std::string> keys = readList(sections[s].c_str(), size);
        for (size_t k = 0; k < keys.size() && k < kMaxKeys; ++k)
            values[{sections[s], keys[k]}] = readValue(sections[s], keys[k], size);
    }
    return values;
}

bool blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

bool fitsLine(std::string_view s) {
    return s.find('\n') == std::string_view::npos && (s.empty() || (!blank(s.front()) && !blank(s.back())));
}

// Splits off the text up to the next zero byte.
std::string takeField(const std::uint8_t*& data, std::size_t& size) {
    const void* zero = std::memchr(data, 0, size);
    size_t n = zero ? static_cast<size_t>(static_cast<const std::uint8_t*>(zero) - data) : size;
    std::string field(reinterpret_cast<const char*>(data), n);
    size_t used = zero ? n + 1 : n;
    data += used;
    size -= used;
    return field;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Every run writes the file: a memory-backed folder keeps that quick.
    const char* tmp = std::getenv("TMPDIR");
    if (!tmp || !*tmp) tmp = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string tmpl = std::string(tmp) + "/vesk-fuzz-ini-XXXXXX";
    std::vector<char> name(tmpl.begin(), tmpl.end());
    name.push_back('\0');
    CHECK(::mkdtemp(name.data()) != nullptr);
    g_dir = name.data();
    g_path = g_dir + "/vesk.ini";
    std::atexit(removeDir);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const unsigned op = data[0];
    ++data;
    --size;
    const std::string section = takeField(data, size);
    const std::string key = takeField(data, size);
    const std::string value = takeField(data, size);
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    putFile(text);
    struct RemoveFile {
        ~RemoveFile() { ::unlink(g_path.c_str()); }
    } removeFile;

    // Large enough for every list and value of this file after the write.
    const DWORD room = static_cast<DWORD>(2 * (text.size() + section.size() + key.size() + value.size()) + 16);
    // A small buffer: lists and values are cut, never overrun.
    const DWORD small = 1 + ((op >> 2) & 7);
    readList(nullptr, small);
    if (!section.empty()) {
        readList(section.c_str(), small);
        readValue(section, key, small);
    }

    std::vector<std::string> sectionsBefore;
    const Values before = snapshot(room, sectionsBefore);
    // The whole-file reader finds what the key-by-key reader finds.
    {
        const TProfileValues values(g_path.c_str());
        for (const auto& [names, value] : before) {
            const std::string* found = values.Find(names.first, names.second);
            CHECK((found ? *found : std::string("\x01")) == value);
        }
        CHECK(values.Find(section, key) ? readValue(section, key, room) == *values.Find(section, key)
                                        : readValue(section, key, room) == "\x01");
    }

    const bool sectionFits = !section.empty() && fitsLine(section) && section.find(']') == std::string::npos;
    const bool keyFits = !key.empty() && fitsLine(key) && key.find('=') == std::string::npos && key.front() != '[';
    const bool valueFits = fitsLine(value);
    enum { kSet, kRemoveKey, kRemoveSection, kSetTwice } kind = static_cast<decltype(kSet)>(op & 3);
    const bool exact = sectionFits && (kind == kRemoveSection || (keyFits && (kind == kRemoveKey || valueFits)));
    const char* s = section.c_str();
    const char* k = kind == kRemoveSection ? nullptr : key.c_str();
    const char* v = kind == kRemoveKey || kind == kRemoveSection ? nullptr : value.c_str();
    CHECK(WritePrivateProfileStringA(s, k, v, g_path.c_str()) == TRUE);
    if (kind == kSetTwice) {
        const std::string once = fileText();
        CHECK(WritePrivateProfileStringA(s, k, v, g_path.c_str()) == TRUE);
        if (exact) CHECK(fileText() == once);
    }

    std::vector<std::string> sectionsAfter;
    snapshot(room, sectionsAfter);
    if (!exact) return 0;

    for (const auto& [names, old] : before) {
        const bool sameSection = EqualNoCaseAscii(names.first, section);
        if (sameSection && (kind == kRemoveSection || EqualNoCaseAscii(names.second, key))) continue;
        CHECK(readValue(names.first, names.second, room) == old);
    }
    if (kind == kSet || kind == kSetTwice) {
        CHECK(readValue(section, key, room) == value);
        // A name list cannot tell a zero byte inside a name from the end of
        // the name, so the list is compared only for text without them.
        if (text.find('\0') != std::string_view::npos) return 0;
        bool had = false;
        for (const auto& name : sectionsBefore) had = had || EqualNoCaseAscii(name, section);
        std::vector<std::string> expected = sectionsBefore;
        if (!had) expected.push_back(section);
        CHECK(sectionsAfter == expected);
    }
    return 0;
}
