#include "platform/VersionInfo.h"
#include "settings/VerInfo.h"
#include "settings/VersionBlock.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace VersionBlock;
using TestSupport::ReadFile;
using TestSupport::TempDir;
using TestSupport::WriteFile;

namespace {

const std::string kVesk = std::string(VESK_BIN_DIR) + "/Vesk";

// Writes `root` as the version section of an ELF file and returns its path.
std::string CraftedFile(const TempDir& dir, const Node& root, const std::string& name = "crafted") {
    std::string path = dir.File(name);
    WriteFile(path, Elf(kVersionSectionName, Build(root)));
    return path;
}

Node Table(const std::string& name, std::vector<Node> strings) { return {name, "", std::move(strings)}; }
Node StringInfo(std::vector<Node> tables) { return {"StringFileInfo", "", std::move(tables)}; }
Node VarInfo(const std::vector<uint32_t>& translations) {
    return {"VarFileInfo", "", {{"Translation", Translations(translations), {}}}};
}

std::string ProductVersionOf(const std::string& path, std::string initial = "unchanged") {
    TVerInfo info(path);
    info.GetProductVersion(initial);
    return initial;
}

std::string ReadKey(const std::string& path, const char* subBlock, UINT* lenOut = nullptr) {
    DWORD handle = 7;
    DWORD size = GetFileVersionInfoSizeA(path.c_str(), &handle);
    EXPECT_EQ(handle, 0u);
    std::vector<unsigned char> block(size);
    EXPECT_TRUE(GetFileVersionInfoA(path.c_str(), handle, size, block.data()));
    void* data = nullptr;
    UINT len = 0;
    if (!VerQueryValueA(block.data(), subBlock, &data, &len)) return "<none>";
    if (lenOut) *lenOut = len;
    return std::string(static_cast<const char*>(data), len);
}

}  // namespace

TEST(VersionResource, ExecutableCarriesTheProgramsVersionBlock) {
    ASSERT_GT(GetFileVersionInfoSizeA(kVesk.c_str(), nullptr), 0u) << kVesk;
    std::string fixed = ReadKey(kVesk, "\\");
    ASSERT_EQ(fixed.size(), sizeof(VS_FIXEDFILEINFO));
    VS_FIXEDFILEINFO info;
    std::memcpy(&info, fixed.data(), sizeof info);
    EXPECT_EQ(info.dwSignature, VS_FFI_SIGNATURE);
    EXPECT_EQ(info.dwProductVersionMS, 0x0001000Au);  // 1.10
    EXPECT_EQ(info.dwFileVersionMS, 0x0001000Au);

    EXPECT_EQ(ReadKey(kVesk, "\\VarFileInfo\\Translation"), Translations({0x03A40411}));
    EXPECT_EQ(ReadKey(kVesk, "\\StringFileInfo\\041103A4\\ProductVersion"), std::string("1.10\0", 5));
    EXPECT_EQ(ReadKey(kVesk, "\\stringfileinfo\\041103a4\\productname"), std::string("Vesk\0", 5));
    EXPECT_EQ(ReadKey(kVesk, "\\StringFileInfo\\041103A4\\Comments"), "<none>");
    EXPECT_EQ(ReadKey(kVesk, "\\StringFileInfo\\04090000\\ProductVersion"), "<none>");

    EXPECT_EQ(ProductVersionOf(kVesk, ""), "1.10");
    std::string description;
    TVerInfo(kVesk).GetVersionInfo(2, description);
    EXPECT_EQ(description, "Vesk");
}

TEST(VersionResource, FilesWithoutVersionInformationReadAsNone) {
    TempDir dir;
    WriteFile(dir.File("text"), "[AccountConfig]\nCount=1\n");
    WriteFile(dir.File("short"), "\x7f" "ELF");
    WriteFile(dir.File("other-section"), Elf(".data", Build(Root({}))));
    WriteFile(dir.File("too-long-root"), Elf(kVersionSectionName, std::string("\xff\x00\x00\x00", 4)));
    for (const char* name : {"text", "short", "other-section", "too-long-root", "missing"}) {
        EXPECT_EQ(GetFileVersionInfoSizeA(dir.File(name).c_str(), nullptr), 0u) << name;
        std::vector<unsigned char> block(64);
        EXPECT_FALSE(GetFileVersionInfoA(dir.File(name).c_str(), 0, 64, block.data())) << name;
        // No version information: the caller's value stays, and nothing is raised.
        EXPECT_EQ(ProductVersionOf(dir.File(name)), "unchanged") << name;
    }
}

TEST(VersionResource, WalkStaysInsideTheBlockAndItsNodes) {
    TempDir dir;
    // A child that claims more bytes than its parent holds is not followed,
    // and a copy cut short keeps the walk inside the copy.
    std::string block = Build(Root({StringInfo({Table("041103A4", {Text("ProductVersion", "1.10")})}),
                                    VarInfo({0x03A40411})}));
    const std::string path = dir.File("cut");
    WriteFile(path, Elf(kVersionSectionName, block));
    DWORD size = GetFileVersionInfoSizeA(path.c_str(), nullptr);
    ASSERT_EQ(size, block.size());
    std::vector<unsigned char> cut(100);
    ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, 100, cut.data()));
    EXPECT_EQ(cut[0] | (cut[1] << 8), 100);
    void* data;
    UINT len;
    EXPECT_FALSE(VerQueryValueA(cut.data(), "\\VarFileInfo\\Translation", &data, &len));
    EXPECT_EQ(len, 0u);
    EXPECT_EQ(data, nullptr);
    EXPECT_TRUE(VerQueryValueA(cut.data(), "\\", &data, &len));
    EXPECT_EQ(len, 52u);

    std::string broken = block;
    const size_t stringInfo = 4 + 16 + 52;  // header, "VS_VERSION_INFO\0", fixed information
    ASSERT_EQ(broken.substr(stringInfo + 4, 14), "StringFileInfo");
    Put16(broken, stringInfo, 0xFFF0);
    std::vector<unsigned char> copy(broken.begin(), broken.end());
    EXPECT_FALSE(VerQueryValueA(copy.data(), "\\StringFileInfo\\041103A4\\ProductVersion", &data, &len));
}

TEST(VerInfo, OnlyTheFirstTranslationIsUsed) {
    TempDir dir;
    // Two string tables: the one of the first translation wins.
    auto both = CraftedFile(dir,
                            Root({StringInfo({Table("041103A4", {Text("ProductVersion", "second")}),
                                              Table("040904B0", {Text("ProductVersion", "first")})}),
                                  VarInfo({0x04B00409, 0x03A40411})}),
                            "both");
    EXPECT_EQ(ProductVersionOf(both), "first");
    // The first translation has no string table: the other one is not consulted.
    auto onlySecond = CraftedFile(
        dir, Root({StringInfo({Table("041103A4", {Text("ProductVersion", "second")})}), VarInfo({0x04B00409, 0x03A40411})}),
        "only-second");
    EXPECT_EQ(ProductVersionOf(onlySecond), "unchanged");
    // Table names are four upper-case digits each; lower case in the file still matches.
    auto lower = CraftedFile(dir, Root({StringInfo({Table("040904b0", {Text("ProductVersion", "lower")})}),
                                        VarInfo({0x04B00409})}),
                             "lower");
    EXPECT_EQ(ProductVersionOf(lower), "lower");
}

TEST(VerInfo, MissingTablesAndKeysLeaveTheValueEmptyTextEmptiesIt) {
    TempDir dir;
    auto noStrings = CraftedFile(dir, Root({VarInfo({0x03A40411})}), "no-strings");
    EXPECT_EQ(ProductVersionOf(noStrings), "unchanged");
    auto otherKeys = CraftedFile(
        dir, Root({StringInfo({Table("041103A4", {Text("FileVersion", "2.0")})}), VarInfo({0x03A40411})}), "other");
    EXPECT_EQ(ProductVersionOf(otherKeys), "unchanged");
    auto empty = CraftedFile(
        dir, Root({StringInfo({Table("041103A4", {Text("ProductVersion", "")})}), VarInfo({0x03A40411})}), "empty");
    EXPECT_EQ(ProductVersionOf(empty), "");
    // A text without its zero byte is cut at the length the node gives.
    auto unterminated = CraftedFile(
        dir,
        Root({StringInfo({Table("041103A4", {{"ProductVersion", "1.10", {}}, Text("ProductName", "XYZ")})}),
              VarInfo({0x03A40411})}),
        "unterminated");
    EXPECT_EQ(ProductVersionOf(unterminated), "1.10");
}

TEST(VerInfo, NoTranslationTableRaises) {
    TempDir dir;
    const Node strings = StringInfo({Table("041103A4", {Text("ProductVersion", "1.10")})});
    auto noVarInfo = CraftedFile(dir, Root({strings}), "no-var");
    auto emptyTable = CraftedFile(dir, Root({strings, {"VarFileInfo", "", {{"Translation", "", {}}}}}), "empty");
    // Two bytes are no complete entry: reading one would pass the table's end.
    auto shortTable = CraftedFile(dir, Root({strings, {"VarFileInfo", "", {{"Translation", "\x11\x04", {}}}}}), "short");
    for (const auto& path : {noVarInfo, emptyTable, shortTable}) {
        std::string value = "unchanged";
        try {
            TVerInfo(path).GetProductVersion(value);
            ADD_FAILURE() << path << ": no error";
        } catch (const Exception& e) {
            EXPECT_EQ(e.Message(), "Failed: TVerInfo.GetVersionInfo");
        }
        EXPECT_EQ(value, "unchanged");
    }
}

TEST(VerInfo, KeyIndexesNameTheTwelveStandardKeys) {
    const char* const keys[] = {"Comments",     "CompanyName", "FileDescription", "FileVersion",
                                "InternalName", "LegalCopyright", "LegalTrademarks", "OriginalFilename",
                                "PrivateBuild", "ProductName",    "ProductVersion",  "SpecialBuild"};
    std::vector<Node> strings;
    for (const char* k : keys) strings.push_back(Text(k, std::string("value of ") + k));
    TempDir dir;
    auto path = CraftedFile(dir, Root({StringInfo({Table("041103A4", strings)}), VarInfo({0x03A40411})}));
    TVerInfo info(path);
    for (int i = 0; i < 12; ++i) {
        std::string value;
        info.GetVersionInfo(i, value);
        EXPECT_EQ(value, std::string("value of ") + keys[i]);
    }
    std::string value = "unchanged";
    info.GetVersionInfo(12, value);
    info.GetVersionInfo(-1, value);
    EXPECT_EQ(value, "unchanged");
}
