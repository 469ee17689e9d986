// Private-profile (INI file) access.
//
// The rules of the desktop's private-profile functions: section and key names
// compare without regard to ASCII case; values are read trimmed of blanks; a
// key written again is replaced in its own line; a new key goes to the end of
// its section (after its last non-blank line) and a new section to the end of
// the file; every other line -- comments, blank lines, unknown text -- is left
// exactly as it was. The first of several equal sections or keys is the one
// that counts.
//
// Each write leaves a complete file on disk: the new text goes to a temporary
// file in the same folder, which then replaces the old file by a rename, so a
// crash at any moment leaves either the old or the new file. The replaced file
// keeps its permissions; a file created new gets mode 0600, since it holds
// passwords. A file without any write permission bit counts as read-only and
// is never replaced (even for root).
#pragma once

#include "platform/WinTypes.h"

#include <map>
#include <string>
#include <string_view>

// Copies the value of `key` in `section` into `buffer` (at most size - 1
// bytes, then a zero byte) and returns the number of bytes copied. A missing
// file, section or key yields `def` (nullptr: empty). With `section` nullptr
// the buffer receives every section name, with `key` nullptr every key name of
// the section, each followed by a zero byte and the list by one more.
DWORD GetPrivateProfileStringA(const char* section, const char* key, const char* def,
                               char* buffer, DWORD size, const char* fileName);

// Creates or replaces `key` in `section`. A nullptr `value` removes the key,
// a nullptr `key` removes the whole section. With section, key and value all
// nullptr the file is flushed to stable storage. FALSE on failure; the error
// number (errno) tells why.
BOOL WritePrivateProfileStringA(const char* section, const char* key, const char* value,
                                const char* fileName);

// Test hook: called after the temporary file is complete and before it
// replaces the file, with the temporary file's path. nullptr removes it.
void SetProfileBeforeReplaceHook(void (*hook)(const char* tempPath));

// A whole file's values, read and parsed once, for a reader that asks for
// many keys: Find gives what GetPrivateProfileStringA reads for `section` and
// `key` (names without regard to ASCII case, the first of equal sections and
// keys, the value trimmed), nullptr when the file has no such key. A missing
// file has no keys.
class TProfileValues {
public:
    explicit TProfileValues(const char* fileName);
    const std::string* Find(std::string_view section, std::string_view key) const;

private:
    // Sections and keys by their ASCII lower-case names.
    std::map<std::string, std::map<std::string, std::string>> FSections;
};
