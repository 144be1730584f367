// The user checks a mailbox: connect, log in, list, fetch every header block.
#include "tests/app/AppFixture.h"

#include <ctime>

namespace {

using testsupport::Dovecot;
using testsupport::Pop3Peer;

const std::vector<std::string> kThreeMessages = {
    "From: Liisa Virtanen <liisa@example.fi>\nDate: Mon, 7 Dec 2026 09:15:00 +0200\n"
    "Subject: Kokous huomenna\nTo: demo@example.fi\n\nN\xE4hd\xE4\xE4n kymmenelt\xE4.\n",
    "Date: Mon, 7 Dec 2026 10:00:00 +0200\nFrom: Matti <matti@example.fi>\n"
    "Subject: P\xE4\xE4tt\xF6kokous\nSubject:   Tervehdys \xE4\xF6   \n\nrivi\n.piste\n",
    "From: noreply@example.fi\nDate: Tue, 8 Dec 2026 08:00:00 +0200\nsubject: lower-case name\n\nbody\n",
};

std::string DoneLine(TPop3Request rq)
{
    return "Request Done Rq=" + std::to_string(int(rq)) + " Error=0";
}

// The three-message check, with "Pipelining" 0 as the original sequence
// (no CAPA, a TOP and its completion per message) and by default with CAPA
// and one SyncTopAll, which Dovecot's PIPELINING lets pipeline: the same
// rows either way. Then a second Connect that starts clean: one row per
// message of the new session, LIST for the whole mailbox, nothing deleted
// on the way.
TEST_F(AppTest, CheckShowsEveryMessageAndASecondConnectStartsClean)
{
    const struct {
        const char* Options;
        std::vector<TPop3Request> Done;
        size_t Capas;
    } cases[] = {
        {"[Options]\nPipelining=0\n",
         {pop3Connect, pop3User, pop3Pass, pop3Stat, pop3List, pop3Top, pop3Top, pop3Top}, 0},
        {"", {pop3Connect, pop3Capa, pop3User, pop3Pass, pop3Stat, pop3List, pop3TopAll}, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Options);
        Dovecot server(kThreeMessages);
        StartOn(server, c.Options);
        Connect();
        std::vector<std::string> done;
        for (TPop3Request rq : c.Done)
            done.push_back(DoneLine(rq));
        EXPECT_EQ(LogLines("Request Done"), done);
        EXPECT_EQ(LogLines("> CAPA").size(), c.Capas);
        EXPECT_EQ(LogLines("> TOP"), (std::vector<std::string>{"> TOP 1 0", "> TOP 2 0", "> TOP 3 0"}));

        // Of two Subject fields the first is shown, a field name in any
        // letter case is one, Windows-1252 bytes reach the screen as the
        // letters they stand for; the records keep the raw values,
        // extracted as before.
        EXPECT_EQ(Rows(), (std::vector<std::string>{"1:Kokous huomenna|Liisa Virtanen|7.12.2026 9.15|0,1 kt",
                                                    "2:Päättökokous|Matti|7.12.2026 10.00|0,1 kt",
                                                    "3:lower-case name|noreply@example.fi|8.12.2026 8.00|0,1 kt"}));
        EXPECT_EQ(Main->Messages()[1]->Subject, "Tervehdys \xE4\xF6");
        EXPECT_EQ(Main->Messages()[2]->Subject, "");
        EXPECT_EQ(Main->Messages()[0]->From, "Liisa Virtanen <liisa@example.fi>");
        EXPECT_EQ(Main->StatusText(), "K\xE4ytt\xE4j\xE4ll\xE4 demo on 3 viesti\xE4");
        EXPECT_EQ(Main->ProgressText(), "");
        EXPECT_FALSE(Main->BtnConnect->isEnabled());
        EXPECT_TRUE(Main->BtnDisconnect->isEnabled());

        const std::vector<std::string> rows = Rows();
        Main->BtnDisconnect->trigger();
        Connect();
        EXPECT_EQ(Rows(), rows);
        EXPECT_EQ(Main->Messages().size(), 3u);
        EXPECT_EQ(LogLines("> LIST"), (std::vector<std::string>{"> LIST", "> LIST"}));
        EXPECT_TRUE(LogLines("> DELE").empty());
        EXPECT_EQ(server.MessageFiles().size(), 3u);
    }
}

TEST_F(AppTest, EmptyMailboxListsNothingAndSendsNoTop)
{
    Dovecot server(0);
    StartOn(server);
    Connect();
    EXPECT_EQ(LogLines("***"), (std::vector<std::string>{"*** LIST BEGIN ***", "*** LIST END ***"}));
    EXPECT_TRUE(LogLines("> TOP").empty());
    EXPECT_EQ(Main->LvwMessages->RowCount(), 0);
    EXPECT_EQ(Main->StatusText(), "K\xE4ytt\xE4j\xE4ll\xE4 demo on 0 viesti\xE4");
}

// A step without answer is abandoned after Timeout seconds, sleeping in the
// Qt loop, and stops the check: the status bar says so instead of counting
// messages; the rows that came stay. Pipelined and a TOP at a time.
TEST_F(AppTest, TimeoutAbortsTheStepAndStopsTheCheck)
{
    for (bool pipelined : {true, false}) {
        SCOPED_TRACE(pipelined);
        Pop3Peer peer;
        ScriptCheck(peer, 2, 1, pipelined);
        peer.Expect().WaitFor("never");
        StartOn(peer, pipelined ? "" : "[Options]\nPipelining=0\n");
        Main->Pop3Client->SetTimeout(1);
        std::vector<std::string> status;
        auto showState = Main->Pop3Client->OnStateChange;
        Main->Pop3Client->OnStateChange = [&](TObject* sender) {
            showState(sender);
            status.push_back(Main->StatusText());
        };
        const std::clock_t cpuBefore = std::clock();
        Connect();
        EXPECT_LT(double(std::clock() - cpuBefore) / CLOCKS_PER_SEC, 0.5);
        EXPECT_EQ(Main->StatusText(), "Viestien otsakkeiden haku ep\xE4onnistui: palvelin ei vastannut 1 sekunnissa");
        EXPECT_EQ(LogLines("Check failed at header fetch: no answer within 1 seconds").size(), 1u);
        EXPECT_TRUE(Main->BtnDisconnect->isEnabled());
        EXPECT_EQ(Rows(), std::vector<std::string>{"1:message 1|||0,1 kt"});
        auto aborted = std::find(status.begin(), status.end(), "Aborted");
        ASSERT_NE(aborted, status.end());
        EXPECT_NE(std::find(aborted, status.end(), "Ready"), status.end());
        peer.Signal("never");
        EXPECT_EQ(peer.Transcript(), pipelined ? kCheckOfTwo : kOriginalCheckOfTwo);
    }
}

// Every header block lands whole in its own record: STAT counts a message
// that LIST did not list, so its lines have no record and go nowhere; a
// line longer than the client's receive buffer comes in pieces. The server
// knows no CAPA (RFC 1939 alone): the check goes on, a TOP at a time.
TEST_F(AppTest, HeaderBlocksLandWholeInTheirOwnRecords)
{
    const std::string subject(6000, 's');
    Pop3Peer peer;
    peer.Reply("+OK ready").Answer("-ERR Unknown command");
    peer.Answer("+OK").Answer("+OK").Answer("+OK 3 6400").Answer("+OK");
    peer.Reply("2 200").Reply("3 6100").Reply(".").Answer("+OK").Reply("Subject: one").Reply(".");
    peer.Answer("+OK").Reply("Subject: two").Reply(".");
    peer.Answer("+OK").Reply("Subject: " + subject).Reply("From: x").Reply(".");
    StartOn(peer);
    Connect();
    peer.Join();
    EXPECT_EQ(peer.Transcript(), kCheckOfTwo + "TOP 3 0\r\n");
    EXPECT_EQ(Rows(), (std::vector<std::string>{"2:two|||0,2 kt", "3:" + subject + "|x||6,0 kt"}));
    ASSERT_EQ(Main->Messages().size(), 2u);
    EXPECT_EQ(Main->Messages()[0]->HeaderLines, TStrings{"Subject: two"});
    EXPECT_EQ(Main->Messages()[1]->HeaderLines, (TStrings{"Subject: " + subject, "From: x"}));
}

} // namespace
