// The account record as the INI file gives it, and whether it may be checked.
#include "settings/SettingsFile.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

using TestSupport::TempDir;
using TestSupport::WriteFile;

TEST(SettingsFile, SecurityIsReadAsWrittenAndOnlyZeroOneOrTwoMayBeChecked) {
    struct Case {
        const char* keys;  // the account's Security and Fingerprint lines
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
