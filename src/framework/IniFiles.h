// Typed access to one INI file through the private-profile functions.
//
// Integers are written in decimal and read as decimal, or as hexadecimal when
// the text begins with "$", or is longer than two characters and begins with
// "0x"/"0X" (an optional sign may come first). Text that does not convert to a
// 32-bit integer yields the default. A refused write raises EIniFileException
// with the text "<path> に書き込めません".
#pragma once

#include "framework/Classes.h"
#include "platform/Profile.h"

#include <optional>
#include <string>

class EIniFileException : public Exception {
public:
    using Exception::Exception;
};

// Reads an integer as the INI file stores it; nullopt when it does not convert.
std::optional<int> ParseIniInteger(const std::string& text);

class TIniFile : public TObject {
public:
    explicit TIniFile(std::string fileName) : FileName(std::move(fileName)) {}

    // At most 2047 bytes come back.
    std::string ReadString(const std::string& section, const std::string& key, const std::string& def) const;
    int ReadInteger(const std::string& section, const std::string& key, int def) const;
    bool ReadBool(const std::string& section, const std::string& key, bool def) const;

    void WriteString(const std::string& section, const std::string& key, const std::string& value);
    void WriteInteger(const std::string& section, const std::string& key, int value);
    void WriteBool(const std::string& section, const std::string& key, bool value);
    // Flushes the file to stable storage.
    void UpdateFile();

    const std::string FileName;

private:
    [[noreturn]] void RaiseWriteError() const;
};

// Read access to a whole INI file loaded once when it is made: the same
// values, defaults and limits as TIniFile's reads, without reading the file
// again for every key.
class TMemIniFile : public TObject {
public:
    explicit TMemIniFile(const std::string& fileName) : FValues(fileName.c_str()) {}

    std::string ReadString(const std::string& section, const std::string& key, const std::string& def) const;
    int ReadInteger(const std::string& section, const std::string& key, int def) const;
    bool ReadBool(const std::string& section, const std::string& key, bool def) const;

private:
    TProfileValues FValues;
};
