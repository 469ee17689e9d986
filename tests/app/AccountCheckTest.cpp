// One account's check on its own: what the poll cycle learns of a failure.
#include "app/Main.h"
#include "support/ScriptedPop3Server.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

TEST(AccountCheck, AFailedStepKeepsTheReasonAndLogsOutASuccessClearsIt) {
    using TestSupport::TScript;
    TestSupport::TScriptedPop3Server refusing, accepting;
    refusing.Play(TScript()
                      .Send(refusing.Greeting)
                      .ExpectLine("USER u").Send("+OK\r\n")
                      .ExpectLine("PASS p").Send("-ERR wrong password\r\n")
                      .ExpectLine("QUIT").Send("+OK bye\r\n").Close());
    accepting.Play(TScript()
                       .Send(accepting.Greeting)
                       .ExpectLine("USER u").Send("+OK\r\n")
                       .ExpectLine("PASS p").Send("+OK\r\n")
                       .ExpectLine("STAT").Send("+OK 2 200\r\n")
                       .ExpectLine("QUIT").Send("+OK bye\r\n").Close());
    TestSupport::TempDir dir;
    TestSupport::WriteFile(dir.File("Vesk.ini"), "[AccountConfig]\nCount=1\n[Account1]\nPOPServer=127.0.0.1\n"
                                                 "UserName=u\nPassword=cA==\nPortNumber=" + refusing.PortText() + "\n");
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
    EXPECT_TRUE(refusing.Finished()) << refusing.Failure();
    EXPECT_TRUE(accepting.Finished()) << accepting.Failure();
    Application->MainForm = savedMain;
}
