// libFuzzer target: the Base64 text of the stored passwords. Decode reads any
// text without failing; whatever it returns, encoding it gives standard
// Base64 that decodes back to the same bytes, and the input read as bytes
// survives an encode and decode unchanged.
#include "codec/Base64.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "FuzzCheck.h"

namespace {

bool isStandardBase64(const std::string& text) {
    if (text.size() % 4 != 0) return false;
    size_t pad = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        bool alphabet = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
        if (c == '=') {
            ++pad;
        } else if (!alphabet || pad != 0) {
            return false;  // only "=" after the first "="
        }
    }
    return pad <= 2;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const TBase64 codec;
    const std::string input(reinterpret_cast<const char*>(data), size);

    const std::string decoded = codec.Decode(input);
    // Four characters never give more than three bytes; a final "=" adds at
    // most the one byte held for its position.
    CHECK(decoded.size() <= input.size() / 4 * 3 + input.size() % 4);

    const std::string encoded = codec.Encode(decoded);
    CHECK(isStandardBase64(encoded));
    CHECK(codec.Decode(encoded) == decoded);

    const std::string again = codec.Encode(input);
    CHECK(again.size() == (input.size() + 2) / 3 * 4);
    CHECK(isStandardBase64(again));
    CHECK(codec.Decode(again) == input);
    return 0;
}
