// The send queue: blocks, how Send fills them and how they drain into a real
// loopback connection.
#include "NetTestUtil.h"

#include "platform/Window.h"

#include <gtest/gtest.h>

using namespace NetTest;
using namespace TestSupport;

namespace {

std::string Pattern(size_t n, unsigned seed = 1) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + seed * 7 + i / 977) & 0xff);
    return s;
}

TEST(SendBuffer, WritePeekRemoveAndTheRoomThatIsLeft) {
    TBuffer b(10);
    int len = -1;
    EXPECT_EQ(b.Peek(len), nullptr);
    EXPECT_EQ(len, 0);
    EXPECT_EQ(b.Write("abcdef", 6), 6);
    EXPECT_EQ(b.Write("ghijkl", 6), 4);  // only the room that is left
    EXPECT_EQ(b.Write("x", 1), 0);
    const char* p = b.Peek(len);
    ASSERT_EQ(len, 10);
    EXPECT_EQ(std::string(p, 10), "abcdefghij");
    EXPECT_EQ(b.Remove(3), 3);
    p = b.Peek(len);
    EXPECT_EQ(std::string(p, static_cast<size_t>(len)), "defghij");
    // No compaction: removed room is not reusable until the block drains.
    EXPECT_EQ(b.Write("x", 1), 0);
    EXPECT_EQ(b.Remove(100), 7);
    EXPECT_EQ(b.WritePos(), 0);
    EXPECT_EQ(b.ReadPos(), 0);
    EXPECT_EQ(b.Remove(1), 0);
    EXPECT_EQ(b.Write("xyz", 3), 3);
}

TEST(SendBuffer, ResizeRules) {
    TBuffer b(100);
    b.SetBufSize(0);
    EXPECT_EQ(b.Size(), 1514);
    b.SetBufSize(-5);
    EXPECT_EQ(b.Size(), 1514);
    b.Write("hello world", 11);
    b.SetBufSize(4000);  // a block holding data keeps it
    int len = 0;
    const char* p = b.Peek(len);
    EXPECT_EQ(std::string(p, static_cast<size_t>(len)), "hello world");
    EXPECT_EQ(b.Size(), 4000);
    // Shrinking below the held bytes keeps what fits and nothing outside.
    b.SetBufSize(5);
    EXPECT_EQ(b.Size(), 5);
    p = b.Peek(len);
    EXPECT_EQ(std::string(p, static_cast<size_t>(len)), "hello");
    EXPECT_EQ(b.Write("!", 1), 0);
}

TEST(SendQueue, FourThousandBytesMakeThreeBlocks) {
    TTestSocket s;
    std::string data = Pattern(4000);
    s.QueueSendData(data.data(), 4000);
    ASSERT_EQ(s.SendQueue().size(), 3u);
    EXPECT_EQ(s.SendQueue()[0]->WritePos(), 1460);
    EXPECT_EQ(s.SendQueue()[1]->WritePos(), 1460);
    EXPECT_EQ(s.SendQueue()[2]->WritePos(), 1080);
    for (auto& b : s.SendQueue()) EXPECT_EQ(b->Size(), 1460);
}

TEST(SendQueue, MoreBytesFillTheLastBlockFirst) {
    TTestSocket s;
    std::string a = Pattern(1000, 1), b = Pattern(3000, 2);
    s.QueueSendData(a.data(), 1000);
    s.QueueSendData(b.data(), 3000);
    ASSERT_EQ(s.SendQueue().size(), 3u);
    EXPECT_EQ(s.SendQueue()[0]->WritePos(), 1460);
    EXPECT_EQ(s.SendQueue()[1]->WritePos(), 1460);
    EXPECT_EQ(s.SendQueue()[2]->WritePos(), 1080);
    std::string all;
    for (auto& blk : s.SendQueue()) {
        int len = 0;
        const char* p = blk->Peek(len);
        all.append(p, static_cast<size_t>(len));
    }
    EXPECT_EQ(all, a + b);
    s.QueueSendData(a.data(), 0);
    s.QueueSendData(a.data(), -3);
    EXPECT_EQ(s.SendQueue().size(), 3u);
}

TEST(SendQueue, DrainingLeavesOneEmptyBlockAndDataArrivesInOrder) {
    std::string data = Pattern(4000);
    TScriptedServer server(TScript().Expect(4000));
    TEventLog log;
    TTestSocket s;
    log.Attach(s);
    ConnectTo(s, server.Port());
    ASSERT_TRUE(WaitConnected(s)) << log.Joined();
    ASSERT_TRUE(WaitFor([&] { return log.Count("sent") == 1; }));  // the write notification after connecting
    log.Events.clear();
    EXPECT_EQ(s.Send(data.data(), 4000), 4000);
    // The socket took everything: one empty block stays, OnDataSent comes later.
    ASSERT_EQ(s.SendQueue().size(), 1u);
    int len = -1;
    s.SendQueue()[0]->Peek(len);
    EXPECT_EQ(len, 0);
    EXPECT_TRUE(s.AllSent());
    EXPECT_EQ(s.ChunkSizes, (std::vector<int>{1460, 1460, 1080}));
    EXPECT_EQ(log.Count("sent"), 0) << "OnDataSent must not fire inside Send";
    ASSERT_TRUE(WaitFor([&] { return log.Count("sent") == 1; }));
    EXPECT_EQ(log.Joined(), "senddata 1460; senddata 1460; senddata 1080; sent 0; ");
    ASSERT_TRUE(WaitFor([&] { return server.Received().size() == 4000; }));
    EXPECT_EQ(server.Received(), data);
}

TEST(SendQueue, PartialSendWaitsForTheNextWriteNotification) {
    std::string data = Pattern(1460, 3);
    TScriptedServer server(TScript().Expect(1460));
    TEventLog log;
    TTestSocket s;
    log.Attach(s);
    ConnectTo(s, server.Port());
    ASSERT_TRUE(WaitConnected(s));
    ASSERT_TRUE(WaitFor([&] { return log.Count("sent") == 1; }));
    log.Events.clear();
    s.ChunkLimit = 500;  // the socket takes 500 bytes per call
    EXPECT_EQ(s.Send(data.data(), 1460), 1460);
    // One call only: a partial send stops the loop at once.
    EXPECT_EQ(s.ChunkSizes, (std::vector<int>{500}));
    ASSERT_EQ(s.SendQueue().size(), 1u);
    int len = 0;
    s.SendQueue()[0]->Peek(len);
    EXPECT_EQ(len, 960);
    EXPECT_FALSE(s.AllSent());
    Application->ProcessMessages();
    EXPECT_EQ(log.Count("sent"), 0);
    // The socket "was full": each write notification sends the next piece,
    // and OnDataSent fires once everything has left.
    for (size_t expected = 2; expected <= 3; ++expected) {
        PostMessageA(s.Handle(), WM_ASYNCSELECT, static_cast<WPARAM>(s.HSocket()), WSock::FD_WRITE);
        ASSERT_TRUE(WaitFor([&] { return s.ChunkSizes.size() == expected; }));
        if (expected == 2) {
            EXPECT_EQ(log.Count("sent"), 0);
        }
    }
    ASSERT_TRUE(WaitFor([&] { return log.Count("sent") == 1; })) << log.Joined();
    EXPECT_EQ(log.Joined(), "senddata 500; senddata 500; senddata 460; sent 0; ");
    EXPECT_TRUE(s.AllSent());
    ASSERT_TRUE(WaitFor([&] { return server.Received().size() == 1460; }));
    EXPECT_EQ(server.Received(), data);
}

TEST(SendQueue, SendOfNothingRightAfterConnectPostsNothing) {
    TScriptedServer server(TScript().Expect(3));
    TEventLog log;
    TTestSocket s;
    log.Attach(s);
    ConnectTo(s, server.Port());
    ASSERT_TRUE(WaitConnected(s));
    ASSERT_TRUE(WaitFor([&] { return log.Count("sent") == 1; }));  // from the platform's first write notification
    EXPECT_TRUE(s.AllSent());
    EXPECT_EQ(s.Send("", 0), 0);
    EXPECT_FALSE(s.AllSent());
    // A later real send proves the loop ran: exactly one more OnDataSent.
    EXPECT_EQ(s.SendText("abc"), 3);
    ASSERT_TRUE(WaitFor([&] { return server.Received() == "abc"; }));
    ASSERT_TRUE(WaitFor([&] { return log.Count("sent") == 2; }));
    Application->ProcessMessages();
    EXPECT_EQ(log.Count("sent"), 2) << log.Joined();
}

TEST(SendQueue, LargeSendsToASlowReaderArriveWholeAndOnDataSentFiresOnce) {
    // The reader does not read until gate 1 opens, with a small receive
    // buffer. The test sends at least 1 MiB, and on until the socket refuses
    // more, so that data really waits in the queue.
    const size_t limit = 64u << 20;
    std::string data = Pattern(limit, 5);
    TScriptedServer server(TScript().Gate(1).DrainUntilClosed(), 4096);
    TEventLog log;
    TTestSocket s;
    log.Attach(s);
    s.OnSendData = nullptr;
    ConnectTo(s, server.Port());
    ASSERT_TRUE(WaitConnected(s));
    ASSERT_TRUE(WaitFor([&] { return log.Count("sent") == 1; }));
    log.Events.clear();
    // Pieces of uneven size, as an application would send them. The queue
    // keeps growing well past what the kernel's send buffer can take in
    // (4 MiB at most, even as it grows), so nothing drains it while the
    // reader is stalled.
    size_t total = 0;
    size_t piece = 1;
    auto queued = [&s] {
        size_t n = 0;
        for (const auto& block : s.SendQueue()) n += static_cast<size_t>(block->WritePos() - block->ReadPos());
        return n;
    };
    while (total < (1u << 20) || s.AllSent() || queued() < (8u << 20)) {
        ASSERT_LT(total, limit) << "the socket never refused data";
        size_t n = std::min(limit - total, (piece++ % 13 + 1) * 7919);
        ASSERT_EQ(s.Send(data.data() + total, static_cast<int>(n)), static_cast<int>(n));
        total += n;
    }
    EXPECT_FALSE(s.AllSent());
    EXPECT_GT(s.SendQueue().size(), 1u);
    Application->ProcessMessages();
    EXPECT_EQ(log.Count("sent"), 0) << "nothing is sent while the reader is stalled";
    server.Open(1);
    ASSERT_TRUE(WaitFor([&] { return server.Received().size() == total; }, 60000)) << server.Received().size();
    ASSERT_TRUE(WaitFor([&] { return log.Count("sent") == 1; }));
    EXPECT_TRUE(server.Received() == data.substr(0, total));
    EXPECT_TRUE(s.AllSent());
    EXPECT_EQ(s.SendQueue().size(), 1u);
    Application->ProcessMessages();
    EXPECT_EQ(log.Count("sent"), 1) << log.Joined();
}

}  // namespace
