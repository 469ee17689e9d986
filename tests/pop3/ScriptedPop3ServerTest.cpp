// The scripted server's conversation form: a line other than the one the
// script expects ends the conversation there, and says why.
#include "Pop3TestClient.h"

#include "support/ScriptedPop3Server.h"

#include <gtest/gtest.h>

using TestSupport::TScript;
using TestSupport::TScriptedPop3Server;

TEST(ScriptedPop3Server, ConversationStopsAtALineItDidNotExpect) {
    TScriptedPop3Server server;
    server.Play(TScript().Send("+OK\r\n").ExpectLine("USER a").Send("+OK\r\n").ExpectLine("PASS b").Send("+OK\r\n"));
    TestPop3Cli cli;
    cli.Host = "127.0.0.1";
    cli.Port = server.PortText();
    cli.UserName = "a";
    cli.PassWord = "c";
    ASSERT_TRUE(cli.ConnectWait());
    ASSERT_TRUE(cli.UserWait());
    EXPECT_FALSE(cli.PassWait()) << "the client is dropped instead of answered";
    EXPECT_EQ(server.Failure(), "expected \"PASS b\", got \"PASS c\"");
    EXPECT_FALSE(server.Finished());
    EXPECT_FALSE(cli.Connected());
}
