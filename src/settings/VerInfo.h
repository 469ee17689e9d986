// Reads one text of the version information of the program's executable file.
#pragma once

#include "framework/Classes.h"

#include <string>

class TVerInfo : public TObject {
public:
    // The file read is the running program's executable unless a file name
    // is given.
    TVerInfo();
    explicit TVerInfo(std::string fileName);

    // Looks up key `key` (an index into KeyNames) in the string table of the
    // first translation; when found, `value` becomes its text, otherwise it
    // is left as it was. A file without version information leaves `value`
    // unchanged too. Raises Exception "Failed: TVerInfo.GetVersionInfo" when
    // the version information has no translation table.
    void GetVersionInfo(int key, std::string& value) const;
    // GetVersionInfo with ProductVersion.
    void GetProductVersion(std::string& value) const;

    static constexpr int KeyCount = 12;
    static constexpr int ProductVersionKey = 10;
    static const char* const KeyNames[KeyCount];

    const std::string FileName;
};
