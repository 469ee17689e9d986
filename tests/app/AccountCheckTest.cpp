// One account's check on its own: what the poll cycle learns of a failure.
#include "app/Main.h"
#include "support/ScriptedPop3Server.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

TEST(AccountCheck, AFailedStepKeepsTheReasonAndLogsOutASuccessClearsIt) {
    TestSupport::TScriptedPop3Server refusing, accepting;
    refusing.On("USER", "+OK\r\n");
    refusing.On("PASS", "-ERR wrong password\r\n");
    refusing.On("QUIT", "+OK bye\r\n", TestSupport::TScriptedPop3Server::Then::Close);
    accepting.On("USER", "+OK\r\n");
    accepting.On("PASS", "+OK\r\n");
    accepting.On("STAT", "+OK 2 200\r\n");
    accepting.On("QUIT", "+OK bye\r\n", TestSupport::TScriptedPop3Server::Then::Close);
    TestSupport::TempDir dir;
    TestSupport::WriteFile(dir.File("Vesk.ini"), "[AccountConfig]\nCount=1\n[Account1]\nPOPServer=127.0.0.1\n"
                                                 "UserName=u\nPortNumber=" + refusing.PortText() + "\n");
    TForm* savedMain = Application->MainForm;
    Application->MainForm = nullptr;
    {
        TfrmMain form(nullptr, dir.File("Vesk"));
        EXPECT_FALSE(form.CheckAccount(0));
        EXPECT_NE(form.GetAccountError(0).find("wrong password"), std::string::npos) << form.GetAccountError(0);
        EXPECT_TRUE(refusing.Got("QUIT"));
        EXPECT_FALSE(form.pop3Main->Connected());
        EXPECT_EQ(form.GetMessageCount(0), 0);

        form.SetPort(0, accepting.Port());
        EXPECT_TRUE(form.CheckAccount(0));
        EXPECT_EQ(form.GetAccountError(0), "");
        EXPECT_EQ(form.GetMessageCount(0), 2);
    }
    Application->MainForm = savedMain;
}
