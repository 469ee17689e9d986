#include "settings/VerInfo.h"

#include "platform/VersionInfo.h"

#include <QCoreApplication>

#include <cstring>
#include <vector>

const char* const TVerInfo::KeyNames[TVerInfo::KeyCount] = {
    "Comments",       "CompanyName",      "FileDescription", "FileVersion",
    "InternalName",   "LegalCopyright",   "LegalTrademarks", "OriginalFilename",
    "PrivateBuild",   "ProductName",      "ProductVersion",  "SpecialBuild",
};

TVerInfo::TVerInfo() : TVerInfo(QCoreApplication::applicationFilePath().toLocal8Bit().toStdString()) {}

TVerInfo::TVerInfo(std::string fileName) : FileName(std::move(fileName)) {}

void TVerInfo::GetVersionInfo(int key, std::string& value) const {
    if (key < 0 || key >= KeyCount) return;
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeA(FileName.c_str(), &handle);
    if (size == 0) return;
    // Zero-filled, so a block that could not be read walks as an empty one.
    std::vector<unsigned char> block(size);
    GetFileVersionInfoA(FileName.c_str(), handle, size, block.data());

    void* data = nullptr;
    UINT length = 0;
    VerQueryValueA(block.data(), "\\VarFileInfo\\Translation", &data, &length);
    // A table shorter than one entry holds no translation either.
    if (length < sizeof(DWORD)) throw Exception("Failed: TVerInfo.GetVersionInfo");
    const auto* entry = static_cast<const unsigned char*>(data);
    const DWORD first = entry[0] | (entry[1] << 8) | (DWORD{entry[2]} << 16) | (DWORD{entry[3]} << 24);
    const std::string language = Format("%04X", static_cast<unsigned>(first & 0xFFFF));
    const std::string codePage = Format("%04X", static_cast<unsigned>(first >> 16));
    const std::string path =
        Format("\\StringFileInfo\\%.4s%.4s\\", language.c_str(), codePage.c_str()) + KeyNames[key];

    data = nullptr;
    length = 0;
    VerQueryValueA(block.data(), path.c_str(), &data, &length);
    if (length == 0) return;
    const char* text = static_cast<const char*>(data);
    value.assign(text, strnlen(text, length));
}

void TVerInfo::GetProductVersion(std::string& value) const { GetVersionInfo(ProductVersionKey, value); }
