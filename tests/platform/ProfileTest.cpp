#include "platform/Profile.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using TestSupport::ReadFile;
using TestSupport::TempDir;
using TestSupport::WriteFile;

namespace {

std::string get(const std::string& path, const char* section, const char* key, const char* def = "") {
    char buf[2048];
    DWORD n = GetPrivateProfileStringA(section, key, def, buf, sizeof buf, path.c_str());
    return std::string(buf, n);
}

bool put(const std::string& path, const char* section, const char* key, const char* value) {
    return WritePrivateProfileStringA(section, key, value, path.c_str()) != FALSE;
}

}  // namespace

TEST(Profile, ReadsIgnoringCaseAndTrimming) {
    TempDir dir;
    std::string ini = dir.File("a.ini");
    WriteFile(ini,
              "; settings\n"
              "[Global Parameters]\n"
              "  checkinterval =  0x1E  \n"
              "[ACCOUNT1]\r\n"
              "POPServer=mail.example.org\n"
              "POPServer=second one wins nothing\n");
    EXPECT_EQ(get(ini, "global parameters", "CheckInterval"), "0x1E");
    EXPECT_EQ(get(ini, "Account1", "popserver"), "mail.example.org");
    EXPECT_EQ(get(ini, "Account1", "UserName", "dflt"), "dflt");
    EXPECT_EQ(get(ini, "Nowhere", "Key", "  spaced  "), "spaced");
    EXPECT_EQ(get(dir.File("missing.ini"), "A", "B", "x"), "x");
}

TEST(Profile, LongValueComesBackCutToBufferSize) {
    TempDir dir;
    std::string ini = dir.File("a.ini");
    std::string value(3000, 'v');
    ASSERT_TRUE(put(ini, "S", "K", value.c_str()));
    std::string read = get(ini, "S", "K");
    EXPECT_EQ(read.size(), 2047u);
    EXPECT_EQ(read, value.substr(0, 2047));
}

TEST(Profile, WriteTouchesOnlyTheKeyWritten) {
    TempDir dir;
    std::string ini = dir.File("hand.ini");
    const std::string before =
        "; edited by hand\r\n"
        "\r\n"
        "[account1]\r\n"
        "; the server\r\n"
        "popserver = old.example.org ; not a comment\r\n"
        "UserName=me\r\n"
        "\r\n"
        "odd line without equals\r\n"
        "[Global Parameters]\r\n"
        "Flash=1\r\n";
    WriteFile(ini, before);
    ASSERT_TRUE(put(ini, "ACCOUNT1", "POPServer", "new.example.org"));
    std::string expected = before;
    expected.replace(expected.find("popserver = old.example.org ; not a comment"),
                     std::string("popserver = old.example.org ; not a comment").size(), "POPServer=new.example.org");
    EXPECT_EQ(ReadFile(ini), expected);

    // A new key goes after the last non-blank line of its section.
    ASSERT_TRUE(put(ini, "Account1", "APOP", "1"));
    expected.replace(expected.find("odd line without equals\r\n"), std::string("odd line without equals\r\n").size(),
                     "odd line without equals\r\nAPOP=1\r\n");
    EXPECT_EQ(ReadFile(ini), expected);

    // A new section goes to the end of the file.
    ASSERT_TRUE(put(ini, "Siren", "Enabled", "0"));
    EXPECT_EQ(ReadFile(ini), expected + "\r\n[Siren]\r\nEnabled=0\r\n");
}

// A file edited with two editors mixes line ends; a write keeps every line
// it does not touch byte for byte, and new lines take the first line's end.
TEST(Profile, MixedLineEndsSurviveWrites) {
    TempDir dir;
    std::string ini = dir.File("mixed.ini");
    const std::string before = "[A]\nx=1\r\ny=2\r\r\nz=3";
    WriteFile(ini, before);
    ASSERT_TRUE(put(ini, "A", "x", "1"));
    EXPECT_EQ(ReadFile(ini), before);
    ASSERT_TRUE(put(ini, "A", "w", "4"));
    EXPECT_EQ(ReadFile(ini), before + "\nw=4\n");
    EXPECT_EQ(get(ini, "A", "y"), "2");
}

TEST(Profile, FileWrittenFromScratchKeepsWriteOrder) {
    TempDir dir;
    std::string ini = dir.File("new.ini");
    ASSERT_TRUE(put(ini, "Account1", "AccountName", "Home"));
    ASSERT_TRUE(put(ini, "Account1", "POPServer", "pop.example.org"));
    ASSERT_TRUE(put(ini, "AccountConfig", "Count", "1"));
    ASSERT_TRUE(put(ini, "Account1", "UserName", "me"));
    ASSERT_TRUE(put(ini, "Global Parameters", "CheckInterval", "60"));
    ASSERT_TRUE(WritePrivateProfileStringA(nullptr, nullptr, nullptr, ini.c_str()));
    EXPECT_EQ(ReadFile(ini),
              "[Account1]\nAccountName=Home\nPOPServer=pop.example.org\nUserName=me\n"
              "\n[AccountConfig]\nCount=1\n"
              "\n[Global Parameters]\nCheckInterval=60\n");
}

TEST(Profile, ListsSectionsAndKeys) {
    TempDir dir;
    std::string ini = dir.File("a.ini");
    WriteFile(ini, "[One]\na=1\nb=2\n[Two]\nc=3\n");
    char buf[64];
    DWORD n = GetPrivateProfileStringA(nullptr, nullptr, "", buf, sizeof buf, ini.c_str());
    EXPECT_EQ(std::string(buf, n + 1), std::string("One\0Two\0\0", 9));
    n = GetPrivateProfileStringA("one", nullptr, "", buf, sizeof buf, ini.c_str());
    EXPECT_EQ(std::string(buf, n + 1), std::string("a\0b\0\0", 5));
}

TEST(Profile, RemovesKeysAndSections) {
    TempDir dir;
    std::string ini = dir.File("a.ini");
    WriteFile(ini, "[One]\na=1\nb=2\n[Two]\nc=3\n");
    ASSERT_TRUE(put(ini, "One", "a", nullptr));
    ASSERT_TRUE(put(ini, "Two", nullptr, nullptr));
    EXPECT_EQ(ReadFile(ini), "[One]\nb=2\n");
}

TEST(Profile, NewFileIsPrivateAndReplacedFileKeepsItsMode) {
    TempDir dir;
    std::string fresh = dir.File("fresh.ini");
    ASSERT_TRUE(put(fresh, "S", "K", "V"));
    struct stat st;
    ASSERT_EQ(::stat(fresh.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    std::string shared = dir.File("shared.ini");
    WriteFile(shared, "[S]\nK=1\n");
    ::chmod(shared.c_str(), 0640);
    ASSERT_TRUE(put(shared, "S", "K", "2"));
    ASSERT_EQ(::stat(shared.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST(Profile, ReadOnlyFileOrFolderRefusesWrites) {
    TempDir dir;
    std::string ini = dir.File("ro.ini");
    WriteFile(ini, "[S]\nK=1\n");
    ::chmod(ini.c_str(), 0444);
    EXPECT_FALSE(put(ini, "S", "K", "2"));
    EXPECT_EQ(ReadFile(ini), "[S]\nK=1\n");
    EXPECT_FALSE(put(dir.File("no/such/folder.ini"), "S", "K", "2"));
}

TEST(Profile, WriteThroughSymlinkKeepsTheLink) {
    TempDir dir;
    std::string target = dir.File("real.ini");
    std::string link = dir.File("link.ini");
    WriteFile(target, "[S]\nK=1\n");
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
    ASSERT_TRUE(put(link, "S", "K", "2"));
    struct stat st;
    ASSERT_EQ(::lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(ReadFile(target), "[S]\nK=2\n");
}

namespace {
void dieBeforeReplace(const char*) { ::_exit(3); }
}  // namespace

TEST(Profile, CrashBeforeReplaceLeavesTheOldFile) {
    TempDir dir;
    std::string ini = dir.File("crash.ini");
    const std::string old = "[S]\nK=old\n";
    WriteFile(ini, old);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        SetProfileBeforeReplaceHook(dieBeforeReplace);
        put(ini, "S", "K", "new");
        ::_exit(0);  // not reached when the hook ran
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 3) << "the write did not reach the replace step";
    EXPECT_EQ(ReadFile(ini), old);
    EXPECT_EQ(get(ini, "S", "K"), "old");
    // The next write still works and replaces the file.
    ASSERT_TRUE(put(ini, "S", "K", "new"));
    EXPECT_EQ(get(ini, "S", "K"), "new");
}
