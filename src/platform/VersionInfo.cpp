#include "platform/VersionInfo.h"

#include "platform/AsciiText.h"

#include <elf.h>

#include <algorithm>
#include <bit>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace {

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

bool ReadAt(FILE* f, unsigned long long offset, void* out, size_t size) {
    if (offset > static_cast<unsigned long long>(LONG_MAX)) return false;
    if (std::fseek(f, static_cast<long>(offset), SEEK_SET) != 0) return false;
    return std::fread(out, 1, size, f) == size;
}

unsigned long long FileSize(FILE* f) {
    if (std::fseek(f, 0, SEEK_END) != 0) return 0;
    long size = std::ftell(f);
    return size < 0 ? 0 : static_cast<unsigned long long>(size);
}

struct SectionSpan {
    unsigned long long offset = 0;
    unsigned long long size = 0;
};

// The ELF file's header fields and section headers in one form for both
// classes.
struct SectionHeader {
    unsigned long long name = 0;
    unsigned long long type = 0;
    unsigned long long offset = 0;
    unsigned long long size = 0;
};

template <class Ehdr, class Shdr>
std::optional<SectionSpan> FindSection(FILE* f, unsigned long long total, const char* wanted) {
    Ehdr eh;
    if (!ReadAt(f, 0, &eh, sizeof eh)) return std::nullopt;
    if (eh.e_shoff == 0 || eh.e_shentsize < sizeof(Shdr)) return std::nullopt;

    auto header = [&](unsigned long long index) -> std::optional<SectionHeader> {
        unsigned long long at = eh.e_shoff + index * eh.e_shentsize;
        if (at < eh.e_shoff || at + sizeof(Shdr) > total) return std::nullopt;
        Shdr sh;
        if (!ReadAt(f, at, &sh, sizeof sh)) return std::nullopt;
        return SectionHeader{sh.sh_name, sh.sh_type, sh.sh_offset, sh.sh_size};
    };

    // Files with very many sections keep the true counts in section 0.
    unsigned long long count = eh.e_shnum;
    unsigned long long namesIndex = eh.e_shstrndx;
    if (count == 0 || namesIndex == SHN_XINDEX) {
        Shdr sh0;
        if (!ReadAt(f, eh.e_shoff, &sh0, sizeof sh0)) return std::nullopt;
        if (count == 0) count = sh0.sh_size;
        if (namesIndex == SHN_XINDEX) namesIndex = sh0.sh_link;
    }
    if (namesIndex >= count) return std::nullopt;
    auto names = header(namesIndex);
    if (!names || names->type == SHT_NOBITS || names->offset > total || names->size > total - names->offset)
        return std::nullopt;

    const size_t wantedLen = std::strlen(wanted);
    std::string name(wantedLen + 1, '\0');
    for (unsigned long long i = 1; i < count; ++i) {
        auto sh = header(i);
        if (!sh) return std::nullopt;
        if (sh->type == SHT_NOBITS || sh->name >= names->size) continue;
        // Compare the name with its zero byte, so a longer name does not match.
        unsigned long long avail = names->size - sh->name;
        if (avail < wantedLen + 1) continue;
        if (!ReadAt(f, names->offset + sh->name, name.data(), wantedLen + 1)) return std::nullopt;
        if (std::memcmp(name.data(), wanted, wantedLen + 1) != 0) continue;
        if (sh->offset > total || sh->size > total - sh->offset) return std::nullopt;
        return SectionSpan{sh->offset, sh->size};
    }
    return std::nullopt;
}

// Opens `fileName` and finds its version block: the section's extent, cut to
// the root node's wLength, which must fit in the section.
std::optional<SectionSpan> LocateBlock(const char* fileName, File& file) {
    if (!fileName) return std::nullopt;
    file.reset(std::fopen(fileName, "rb"));
    if (!file) return std::nullopt;
    FILE* f = file.get();
    unsigned long long total = FileSize(f);
    unsigned char ident[EI_NIDENT];
    if (total < EI_NIDENT || !ReadAt(f, 0, ident, sizeof ident)) return std::nullopt;
    if (std::memcmp(ident, ELFMAG, SELFMAG) != 0) return std::nullopt;
    // Only files of this machine's byte order are read.
    const unsigned char nativeData = (std::endian::native == std::endian::little) ? ELFDATA2LSB : ELFDATA2MSB;
    if (ident[EI_DATA] != nativeData) return std::nullopt;
    std::optional<SectionSpan> span;
    if (ident[EI_CLASS] == ELFCLASS64)
        span = FindSection<Elf64_Ehdr, Elf64_Shdr>(f, total, kVersionSectionName);
    else if (ident[EI_CLASS] == ELFCLASS32)
        span = FindSection<Elf32_Ehdr, Elf32_Shdr>(f, total, kVersionSectionName);
    if (!span || span->size < 4) return std::nullopt;
    unsigned char head[2];
    if (!ReadAt(f, span->offset, head, sizeof head)) return std::nullopt;
    unsigned long long rootLength = head[0] | (head[1] << 8);
    if (rootLength < 4 || rootLength > span->size) return std::nullopt;
    span->size = rootLength;
    return span;
}

// ---- walking a block ----

WORD WordAt(const unsigned char* p) { return static_cast<WORD>(p[0] | (p[1] << 8)); }

constexpr size_t Align4(size_t n) { return (n + 3) & ~size_t{3}; }

struct Node {
    size_t start = 0;     // offset of the node in the block
    size_t end = 0;       // start + wLength
    std::string_view key;
    size_t value = 0;     // offset of the value
    size_t valueLength = 0;
    size_t children = 0;  // offset of the first child
};

// Reads the node at `start`, which must lie inside [start, limit).
std::optional<Node> ReadNode(const unsigned char* block, size_t start, size_t limit) {
    if (start + 4 > limit) return std::nullopt;
    Node n;
    n.start = start;
    size_t length = WordAt(block + start);
    n.valueLength = WordAt(block + start + 2);
    if (length < 4 || length > limit - start) return std::nullopt;
    n.end = start + length;
    const char* keyStart = reinterpret_cast<const char*>(block + start + 4);
    const void* zero = std::memchr(keyStart, 0, n.end - (start + 4));
    if (!zero) return std::nullopt;
    n.key = std::string_view(keyStart, static_cast<const char*>(zero) - keyStart);
    n.value = Align4(start + 4 + n.key.size() + 1);
    if (n.value > n.end || n.valueLength > n.end - n.value) return std::nullopt;
    n.children = Align4(n.value + n.valueLength);
    return n;
}

std::optional<Node> FindChild(const unsigned char* block, const Node& parent, std::string_view name) {
    for (size_t at = parent.children; at + 4 <= parent.end;) {
        auto child = ReadNode(block, at, parent.end);
        if (!child) return std::nullopt;
        if (EqualNoCaseAscii(child->key, name)) return child;
        at = Align4(child->end);
    }
    return std::nullopt;
}

}  // namespace

DWORD GetFileVersionInfoSizeA(const char* fileName, DWORD* handle) {
    if (handle) *handle = 0;
    File file;
    auto span = LocateBlock(fileName, file);
    return span ? static_cast<DWORD>(span->size) : 0;
}

BOOL GetFileVersionInfoA(const char* fileName, DWORD, DWORD len, void* data) {
    if (!data || len < 4) return FALSE;
    File file;
    auto span = LocateBlock(fileName, file);
    if (!span) return FALSE;
    size_t n = static_cast<size_t>(std::min<unsigned long long>(span->size, len));
    auto* out = static_cast<unsigned char*>(data);
    if (!ReadAt(file.get(), span->offset, out, n)) return FALSE;
    if (n < span->size) {
        out[0] = static_cast<unsigned char>(n & 0xFF);
        out[1] = static_cast<unsigned char>((n >> 8) & 0xFF);
    }
    return TRUE;
}

BOOL VerQueryValueA(const void* block, const char* subBlock, void** buffer, UINT* len) {
    if (buffer) *buffer = nullptr;
    if (len) *len = 0;
    if (!block || !subBlock) return FALSE;
    const auto* bytes = static_cast<const unsigned char*>(block);
    auto node = ReadNode(bytes, 0, WordAt(bytes));
    if (!node) return FALSE;
    std::string_view path(subBlock);
    while (!path.empty()) {
        size_t sep = path.find('\\');
        std::string_view part = path.substr(0, sep);
        path = sep == std::string_view::npos ? std::string_view() : path.substr(sep + 1);
        if (part.empty()) continue;
        node = FindChild(bytes, *node, part);
        if (!node) return FALSE;
    }
    if (buffer) *buffer = const_cast<unsigned char*>(bytes + node->value);
    if (len) *len = static_cast<UINT>(node->valueLength);
    return TRUE;
}
