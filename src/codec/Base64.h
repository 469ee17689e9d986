// Base64 text of the stored passwords.
//
// Encode writes standard Base64 (the base64 alphabet, "=" padding, one
// unbroken line). Decode is lenient and never fails: it stops at the first
// "=" (keeping the non-zero bits held for the current position as one more
// byte), reads any character outside the alphabet as "/", and drops the bits
// of an incomplete final group.
#pragma once

#include <string>

class TBase64 {
public:
    std::string Encode(const std::string& data) const;
    std::string Decode(const std::string& text) const;
};
