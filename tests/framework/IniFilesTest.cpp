#include "framework/IniFiles.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

TEST(IniFiles, IntegerForms) {
    EXPECT_EQ(ParseIniInteger("60"), 60);
    EXPECT_EQ(ParseIniInteger("-3"), -3);
    EXPECT_EQ(ParseIniInteger("+7"), 7);
    EXPECT_EQ(ParseIniInteger("0x1E"), 30);
    EXPECT_EQ(ParseIniInteger("0X1e"), 30);
    EXPECT_EQ(ParseIniInteger("$1E"), 30);
    EXPECT_EQ(ParseIniInteger("$FFFFFFFF"), -1);
    EXPECT_EQ(ParseIniInteger("2147483647"), 2147483647);
    EXPECT_EQ(ParseIniInteger("-2147483648"), -2147483647 - 1);
    EXPECT_EQ(ParseIniInteger("0x"), std::nullopt);
    EXPECT_EQ(ParseIniInteger("$"), std::nullopt);
    EXPECT_EQ(ParseIniInteger("abc"), std::nullopt);
    EXPECT_EQ(ParseIniInteger(""), std::nullopt);
    EXPECT_EQ(ParseIniInteger("12abc"), std::nullopt);
    EXPECT_EQ(ParseIniInteger("1E"), std::nullopt);
    EXPECT_EQ(ParseIniInteger("2147483648"), std::nullopt);
    EXPECT_EQ(ParseIniInteger("$100000000"), std::nullopt);
}

TEST(IniFiles, TypedReadsAndWrites) {
    TestSupport::TempDir dir;
    TIniFile ini(dir.File("t.ini"));
    EXPECT_EQ(ini.ReadInteger("S", "N", 60), 60);
    ini.WriteInteger("S", "N", -12);
    ini.WriteBool("S", "B", true);
    ini.WriteString("S", "T", "text with = sign");
    ini.UpdateFile();
    EXPECT_EQ(ini.ReadInteger("S", "N", 0), -12);
    EXPECT_TRUE(ini.ReadBool("S", "B", false));
    EXPECT_EQ(ini.ReadString("S", "T", ""), "text with = sign");
    ini.WriteString("S", "N", "junk");
    EXPECT_EQ(ini.ReadInteger("S", "N", 99), 99);
    EXPECT_EQ(TestSupport::ReadFile(ini.FileName), "[S]\nN=junk\nB=1\nT=text with = sign\n");
}

TEST(IniFiles, RefusedWriteRaisesWithThePath) {
    TestSupport::TempDir dir;
    std::string path = dir.File("ro.ini");
    TestSupport::WriteFile(path, "[S]\nK=1\n");
    ::chmod(path.c_str(), 0444);
    TIniFile ini(path);
    EXPECT_EQ(TestSupport::ErrorOf<EIniFileException>([&] { ini.WriteString("S", "K", "2"); }),
              path + " に書き込めません");
}
