// MD5 message digest (RFC 1321) and its text form.
//
// The context is a plain record owned by the caller: Md5Init prepares it,
// Md5Update feeds bytes, Md5Final writes the 16-byte digest and wipes the
// context. Md5DigestHex and Md5StringHex render a digest as 32 upper-case
// hexadecimal digits; the APOP login lowers their case itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct Md5Context {
    std::uint32_t State[4];   // A, B, C, D
    std::uint32_t Count[2];   // number of message bits fed, low word first, modulo 2^64
    unsigned char Buffer[64]; // input of the block not yet transformed
};

// Zeroes the whole context, then loads the initial state words.
void Md5Init(Md5Context& context);
// Feeds `length` bytes from `data`.
void Md5Update(Md5Context& context, const void* data, std::size_t length);
// Pads, appends the bit count, writes the digest (A, B, C, D, each
// little-endian) and zeroes every byte of the context.
void Md5Final(unsigned char digest[16], Md5Context& context);

// Digest of `length` bytes as 32 upper-case hexadecimal digits.
std::string Md5DigestHex(const void* data, std::size_t length);
// Digest of every byte of `text` (zero bytes and bytes above 127 included).
std::string Md5StringHex(const std::string& text);
