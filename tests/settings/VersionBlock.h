// Builds version blocks node by node, and minimal ELF files that carry a
// block in their version section, so the reader can be tried on crafted
// information read from a file on disk.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace VersionBlock {

struct Node {
    std::string key;
    std::string value;  // raw bytes; wValueLength is their count
    std::vector<Node> children;
};

// A text node: the text with its zero byte.
inline Node Text(const std::string& key, const std::string& text) { return {key, text + '\0', {}}; }

inline void Put16(std::string& out, size_t at, unsigned v) {
    out[at] = static_cast<char>(v & 0xFF);
    out[at + 1] = static_cast<char>((v >> 8) & 0xFF);
}

inline void Append(std::string& out, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

inline void Pad4(std::string& out) {
    while (out.size() % 4) out.push_back('\0');
}

// The node's bytes, without padding after its end.
inline std::string Build(const Node& node) {
    std::string out(4, '\0');
    out += node.key;
    out.push_back('\0');
    Pad4(out);
    out += node.value;
    for (const Node& child : node.children) {
        Pad4(out);
        out += Build(child);
    }
    Put16(out, 0, static_cast<unsigned>(out.size()));
    Put16(out, 2, static_cast<unsigned>(node.value.size()));
    return out;
}

inline std::string Translations(const std::vector<uint32_t>& entries) {
    std::string out;
    for (uint32_t e : entries) Append(out, e, 4);
    return out;
}

// A root with the fixed information for version 1.0, and the given children.
inline Node Root(std::vector<Node> children) {
    std::string fixed;
    for (uint32_t v : {0xFEEF04BDu, 0x00010000u, 0x00010000u, 0u, 0x00010000u, 0u, 0x3Fu, 0u, 0u, 1u, 0u, 0u, 0u})
        Append(fixed, v, 4);
    return {"VS_VERSION_INFO", fixed, std::move(children)};
}

// A 64-bit little-endian ELF file holding only section headers: the null
// section, `sectionName` with `data`, and the section name table.
inline std::string Elf(const std::string& sectionName, const std::string& data) {
    const std::string names = std::string("\0", 1) + sectionName + '\0' + ".shstrtab" + '\0';
    const uint64_t dataOffset = 64;
    const uint64_t namesOffset = dataOffset + data.size();
    uint64_t headersOffset = namesOffset + names.size();
    headersOffset = (headersOffset + 7) & ~uint64_t{7};

    std::string out;
    out += "\x7f" "ELF";
    out.push_back(2);  // 64-bit
    out.push_back(1);  // little-endian
    out.push_back(1);  // version
    out.resize(16, '\0');
    Append(out, 1, 2);   // relocatable
    Append(out, 62, 2);  // x86-64
    Append(out, 1, 4);
    Append(out, 0, 8);   // entry
    Append(out, 0, 8);   // program headers
    Append(out, headersOffset, 8);
    Append(out, 0, 4);   // flags
    Append(out, 64, 2);  // header size
    Append(out, 0, 2);
    Append(out, 0, 2);
    Append(out, 64, 2);  // section header size
    Append(out, 3, 2);   // sections
    Append(out, 2, 2);   // name table index
    out += data;
    out += names;
    out.resize(headersOffset, '\0');

    auto section = [&](uint32_t name, uint32_t type, uint64_t offset, uint64_t size) {
        Append(out, name, 4);
        Append(out, type, 4);
        Append(out, 0, 8);  // flags
        Append(out, 0, 8);  // address
        Append(out, offset, 8);
        Append(out, size, 8);
        Append(out, 0, 4);  // link
        Append(out, 0, 4);  // info
        Append(out, 1, 8);  // alignment
        Append(out, 0, 8);  // entry size
    };
    section(0, 0, 0, 0);
    section(1, 1, dataOffset, data.size());  // PROGBITS
    section(static_cast<uint32_t>(2 + sectionName.size()), 3, namesOffset, names.size());  // STRTAB
    return out;
}

}  // namespace VersionBlock
