// The version information of an executable file.
//
// A version block is a tree of nodes. Every node starts on a 4-byte boundary
// (counted from the start of the block) and is laid out as
//
//   WORD  wLength       bytes of the whole node, its children included
//                       (padding after the node's end is not counted)
//   WORD  wValueLength  bytes of the value; a text value counts its zero byte
//   char  szKey[]       the node's name, ending in a zero byte
//   padding to a 4-byte boundary
//   BYTE  Value[wValueLength]
//   padding to a 4-byte boundary
//   the children, one after the other, each on a 4-byte boundary
//
// Words are little-endian and texts are 8-bit bytes (the local code page).
// The root node "VS_VERSION_INFO" holds the fixed file information as its
// value; its children are "StringFileInfo", whose children are string tables
// named by eight hexadecimal digits (language, then code page) holding one
// text node per key, and "VarFileInfo", whose child "Translation" holds a list
// of 32-bit entries (language in the low word, code page in the high word).
//
// The program carries its block in the ELF section named by
// kVersionSectionName; these functions read it back from the file on disk.
// VerQueryValueA never reads outside the block: it bounds every node by its
// parent and the whole walk by the root's wLength.
#pragma once

#include "platform/WinTypes.h"

// The ELF section that holds an executable's version block.
inline constexpr const char* kVersionSectionName = ".vesk_version";

// Signature of the fixed file information (the root node's value).
constexpr DWORD VS_FFI_SIGNATURE = 0xFEEF04BD;

struct VS_FIXEDFILEINFO {
    DWORD dwSignature;
    DWORD dwStrucVersion;
    DWORD dwFileVersionMS;
    DWORD dwFileVersionLS;
    DWORD dwProductVersionMS;
    DWORD dwProductVersionLS;
    DWORD dwFileFlagsMask;
    DWORD dwFileFlags;
    DWORD dwFileOS;
    DWORD dwFileType;
    DWORD dwFileSubtype;
    DWORD dwFileDateMS;
    DWORD dwFileDateLS;
};
static_assert(sizeof(VS_FIXEDFILEINFO) == 52, "the fixed file information keeps its 52-byte form");

// Bytes needed for the version block of `fileName`; 0 when the file cannot be
// read, is no ELF file, carries no version section or a malformed one.
// `handle` (may be nullptr) receives 0.
DWORD GetFileVersionInfoSizeA(const char* fileName, DWORD* handle);

// Copies the version block of `fileName` into `data` (`len` bytes available).
// When `len` is smaller than the block, the copy is cut to `len` bytes and its
// root wLength lowered to match, so a walk stays inside the copy. FALSE when
// the block cannot be read or `len` is less than one node header.
BOOL GetFileVersionInfoA(const char* fileName, DWORD handle, DWORD len, void* data);

// Finds the node named by `subBlock` in the block: "\" is the root, other
// paths name one node per level, separated by "\" ("\VarFileInfo\Translation",
// "\StringFileInfo\041103A4\ProductVersion"); names compare without regard to
// ASCII case. On success *buffer points at the node's value inside the block,
// *len is its wValueLength (for a text: characters with the zero byte, which
// may be 0) and the result is TRUE. When there is no such node: *buffer is
// nullptr, *len 0 and the result FALSE.
BOOL VerQueryValueA(const void* block, const char* subBlock, void** buffer, UINT* len);
