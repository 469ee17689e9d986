// libFuzzer target: the version-block walker over arbitrary bytes.
//
// Input: a path (up to a zero byte), then the block. The block lies in a heap
// buffer of exactly its size, with its root wLength lowered to that size when
// it claims more (as a cut copy of a file's block has). The walk looks up the
// input's path and the paths the program itself asks for; whatever it finds
// must lie inside the root's wLength, and a failed lookup returns nothing.
#include "platform/VersionInfo.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "FuzzCheck.h"

namespace {

void query(const std::vector<unsigned char>& block, const char* path) {
    void* value = reinterpret_cast<void*>(1);
    UINT len = 12345;
    const BOOL found = VerQueryValueA(block.data(), path, &value, &len);
    if (!found) {
        CHECK(value == nullptr && len == 0);
        return;
    }
    const size_t rootLength = block[0] | (block[1] << 8);
    const auto* at = static_cast<const unsigned char*>(value);
    CHECK(at >= block.data() && at <= block.data() + rootLength);
    CHECK(len <= static_cast<size_t>(block.data() + rootLength - at));
    // The value is really there to read.
    volatile unsigned char sum = 0;
    for (UINT i = 0; i < len; ++i) sum = static_cast<unsigned char>(sum + at[i]);
    (void)sum;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const void* zero = std::memchr(data, 0, size);
    if (!zero) return 0;
    const std::string path(reinterpret_cast<const char*>(data), static_cast<const std::uint8_t*>(zero) - data);
    const std::uint8_t* bytes = static_cast<const std::uint8_t*>(zero) + 1;
    const size_t length = size - (path.size() + 1);
    if (length < 2) return 0;

    std::vector<unsigned char> block(bytes, bytes + length);
    block.shrink_to_fit();
    if (static_cast<size_t>(block[0] | (block[1] << 8)) > length) {
        block[0] = static_cast<unsigned char>(length & 0xFF);
        block[1] = static_cast<unsigned char>((length >> 8) & 0xFF);
    }

    query(block, path.c_str());
    for (const char* fixed : {"\\", "", "\\VarFileInfo\\Translation", "\\StringFileInfo",
                              "\\StringFileInfo\\041103A4\\ProductVersion",
                              "\\StringFileInfo\\040904E4\\FileVersion", "\\\\StringFileInfo\\\\"})
        query(block, fixed);
    return 0;
}
