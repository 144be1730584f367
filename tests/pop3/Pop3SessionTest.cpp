// The engine and its blocking face against the scripted POP3 server: the
// exact command transcript, the exact event order, replies in every chunk
// size.
#include "pop3/Pop3Prot.h"
#include "tests/support/Pop3Peer.h"

#include <gtest/gtest.h>

using testsupport::Pop3EventLog;
using testsupport::Pop3Peer;

namespace {

void PointAt(TSyncPop3Cli& client, const Pop3Peer& peer)
{
    client.SetHost("127.0.0.1");
    client.SetPort(peer.PortText());
    client.SetUserName(" bob ");
    client.SetPassWord("secret");
}

// The application's whole check: connect, log in, STAT, LIST, TOP i 0, QUIT.
void ScriptCheck(Pop3Peer& peer)
{
    peer.Reply("+OK ready <1.2@host>")
        .Answer("+OK user")
        .Answer("+OK pass")
        .Answer("+OK 2 320")
        .Expect()
        .Send("+OK 2 messages\r\n1 120\r\n2\t200\r\n.\r\n")
        .Expect()
        .Send("+OK\r\nSubject: one\r\n..dotted\r\n.single\r\n\r\n.\r\n")
        .Expect()
        .Send("+OK\r\nSubject: two\r\n.\r\n")
        .Answer("+OK bye")
        .WaitFor("quit-done")
        .Close();
}

class ChunkSizes : public testing::TestWithParam<size_t> {};

TEST_P(ChunkSizes, FullCheckGivesTheSameTranscriptAndEvents)
{
    Pop3Peer peer(GetParam());
    ScriptCheck(peer);
    peer.Start();

    TSyncPop3Cli client;
    PointAt(client, peer);
    Pop3EventLog log;
    log.Attach(client);

    ASSERT_TRUE(client.SyncConnect());
    ASSERT_TRUE(client.SyncUser());
    ASSERT_TRUE(client.SyncPass());
    ASSERT_TRUE(client.SyncStat());
    EXPECT_EQ(client.MsgCount(), 2);
    EXPECT_EQ(client.MsgSize(), 320);
    client.SetMsgNum(0);
    ASSERT_TRUE(client.SyncList());
    client.SetMsgLines(0);
    for (Integer i = 1; i <= 2; ++i) {
        client.SetMsgNum(i);
        ASSERT_TRUE(client.SyncTop());
    }
    ASSERT_TRUE(client.SyncQuit());
    EXPECT_EQ(client.ProtocolState(), pop3Disconnected);
    peer.Signal("quit-done");
    ASSERT_TRUE(testsupport::PumpUntil([&] { return !log.Only("closed").empty(); }));
    ASSERT_TRUE(peer.Join());

    EXPECT_EQ(peer.Transcript(), "USER bob\r\nPASS secret\r\nSTAT\r\nLIST\r\nTOP 1 0\r\nTOP 2 0\r\nQUIT\r\n");
    EXPECT_EQ(log.Joined(),
              "state pop3DnsLookup\n"
              "state pop3Connecting\n"
              "state pop3WaitingBanner\n"
              "display < +OK ready <1.2@host>\n"
              "state pop3Connected\n"
              "connected 0\n"
              "state pop3Ready\n"
              "done pop3Connect 0\n"
              "state pop3WaitingResponse\n"
              "display > USER bob\n"
              "display < +OK user\n"
              "state pop3Ready\n"
              "done pop3User 0\n"
              "state pop3WaitingResponse\n"
              "display > PASS secret\n"
              "display < +OK pass\n"
              "state pop3Ready\n"
              "done pop3Pass 0\n"
              "state pop3WaitingResponse\n"
              "display > STAT\n"
              "display < +OK 2 320\n"
              "state pop3Ready\n"
              "done pop3Stat 0\n"
              "state pop3WaitingResponse\n"
              "display > LIST\n"
              "display < +OK 2 messages\n"
              "listbegin\n"
              "listline 1 120\n"
              "listline 2 200\n"
              "listend\n"
              "state pop3Ready\n"
              "done pop3List 0\n"
              "state pop3WaitingResponse\n"
              "display > TOP 1 0\n"
              "display < +OK\n"
              "msgbegin\n"
              "msgline Subject: one\n"
              "msgline .dotted\n"
              "msgline .single\n"
              "msgline \n"
              "msgend\n"
              "state pop3Ready\n"
              "done pop3Top 0\n"
              "state pop3WaitingResponse\n"
              "display > TOP 2 0\n"
              "display < +OK\n"
              "msgbegin\n"
              "msgline Subject: two\n"
              "msgend\n"
              "state pop3Ready\n"
              "done pop3Top 0\n"
              "state pop3WaitingResponse\n"
              "display > QUIT\n"
              "display < +OK bye\n"
              "state pop3Ready\n"
              "done pop3Quit 0\n"
              "closed 0\n");
}

INSTANTIATE_TEST_SUITE_P(Pop3Session, ChunkSizes, testing::Values(0, 1, 2, 3, 5, 7, 64));

} // namespace
