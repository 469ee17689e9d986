// The account record as the INI file gives it, and whether it may be checked.
#include "settings/SettingsFile.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

using TestSupport::TempDir;
using TestSupport::WriteFile;

TEST(SettingsFile, SecurityIsReadAsWrittenAndOnlyZeroOneOrTwoMayBeChecked) {
    struct Case {
        const char* keys;  // the account's Security, Fingerprint and Auth lines
        int security;
        const char* securityText;
        const char* error;
    };
    const Case cases[] = {
        {"", 0, "", ""},
        {"Security=\n", 0, "", ""},
        {"Security=0\n", 0, "", ""},
        {"Security= 1 \n", 1, "", ""},
        {"Security=2\nFingerprint=AB:CD\n", 2, "", ""},
        {"Security=3\n", kSecurityNotValid, "3", "Security=3 is not 0, 1 or 2"},
        {"Security=TLS\n", kSecurityNotValid, "TLS", "Security=TLS is not 0, 1 or 2"},
        {"Security=1.0\nFingerprint=AB:CD\n", kSecurityNotValid, "1.0", "Security=1.0 is not 0, 1 or 2"},
        {"Security=+1\n", kSecurityNotValid, "+1", "Security=+1 is not 0, 1 or 2"},
        {"Security=0\nFingerprint=AB:CD\n", 0, "", "Security=0 is plain text, but a Fingerprint is set"},
        {"Fingerprint=AB:CD\n", 0, "", "Security=0 is plain text, but a Fingerprint is set"},
        {"Security=1\nAuth=1\n", 1, "", ""},
        {"Security=2\nAuth= 2 \n", 2, "", ""},
        {"Auth=0\n", 0, "", ""},
        {"Auth=2\n", 0, "", "Auth=2 needs Security 1 or 2: an OAuth2 token is never sent in plain text"},
        {"Security=1\nAuth=XOAUTH2\n", 1, "", "Auth=XOAUTH2 is not 0, 1 or 2"},
        {"Security=1\nAuth=3\n", 1, "", "Auth=3 is not 0, 1 or 2"},
    };
    TempDir dir;
    for (const Case& c : cases) {
        WriteFile(dir.File("Vesk.ini"), std::string("[Account1]\nPOPServer=pop.example\n") + c.keys);
        const TAccount a = TSettingsFile(dir.File("Vesk.ini")).ReadAccount(1);
        EXPECT_EQ(a.Security, c.security) << c.keys;
        EXPECT_EQ(a.SecurityText, c.securityText) << c.keys;
        EXPECT_EQ(AccountSettingsError(a), c.error) << c.keys;
    }
}

TEST(SettingsFile, ProtocolAndFolderReadAsWrittenAndSavedBackAfterFingerprint) {
    struct Case {
        const char* keys;  // the account's Protocol, Folder, PasswordCommand and Auth lines
        int protocol;
        const char* folder;
        const char* error;
        const char* saved;  // the lines a save writes after Fingerprint
    };
    const Case cases[] = {
        {"", 0, "INBOX", "", "Protocol=0\nFolder=INBOX\n"},
        {"Protocol=\nFolder=\n", 0, "INBOX", "", "Protocol=0\nFolder=INBOX\n"},
        {"Protocol=1\nFolder=Archiv/Größe\n", 1, "Archiv/Größe", "", "Protocol=1\nFolder=Archiv/Größe\n"},
        {"Protocol=IMAP\n", kProtocolNotValid, "INBOX", "Protocol=IMAP is not 0 or 1",
         "Protocol=IMAP\nFolder=INBOX\n"},
        {"Protocol=2\n", kProtocolNotValid, "INBOX", "Protocol=2 is not 0 or 1", "Protocol=2\nFolder=INBOX\n"},
        {"Protocol=1\nPasswordCommand= cat ~/.token; true \n", 1, "INBOX", "",
         "Protocol=1\nFolder=INBOX\nPasswordCommand=cat ~/.token; true\n"},
        {"Security=1\nProtocol=1\nAuth=2\n", 1, "INBOX", "", "Protocol=1\nFolder=INBOX\nPasswordCommand=\nAuth=2\n"},
        {"Security=1\nAuth=oauth\n", 0, "INBOX", "Auth=oauth is not 0, 1 or 2", "Protocol=0\nFolder=INBOX\nPasswordCommand=\nAuth=oauth\n"},
    };
    TempDir dir;
    for (const Case& c : cases) {
        const std::string file = dir.File("Vesk.ini");
        WriteFile(file, std::string("[Account1]\nPOPServer=pop.example\n") + c.keys);
        const TAccount a = TSettingsFile(file).ReadAccount(1);
        EXPECT_EQ(a.Protocol, c.protocol) << c.keys;
        EXPECT_EQ(a.Folder, c.folder) << c.keys;
        EXPECT_EQ(AccountSettingsError(a), c.error) << c.keys;

        WriteFile(file, "");
        TSettingsFile(file).Write(std::span(&a, 1), TGlobalOptions{}, TSirenOptions{});
        EXPECT_NE(TestSupport::ReadFile(file).find(std::string("Fingerprint=\n") + c.saved), std::string::npos) << c.keys;
    }
}
