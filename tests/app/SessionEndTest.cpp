// The user deletes messages, disconnects and closes the program.
#include "tests/app/AppFixture.h"


#include <QAction>
#include <QMessageBox>
#include <QElapsedTimer>

namespace {

using testsupport::Dovecot;
using testsupport::Pop3Peer;

// Banner, login, STAT and LIST of `count` messages of 100 bytes, and a TOP
// answer for the first `tops` of them.
void ScriptCheck(Pop3Peer& peer, int count, int tops)
{
    peer.Reply("+OK ready").Answer("+OK").Answer("+OK");
    peer.Answer("+OK " + std::to_string(count) + " " + std::to_string(count * 100)).Answer("+OK");
    for (int i = 1; i <= count; ++i)
        peer.Reply(std::to_string(i) + " 100");
    peer.Reply(".");
    for (int i = 1; i <= tops; ++i)
        peer.Answer("+OK").Reply("Subject: message " + std::to_string(i)).Reply(".");
}

TEST_F(AppTest, DeleteInSessionSendsDeleWithTheRowsNumber)
{
    Dovecot server(3, 5);
    StartOn(server);
    Connect();
    EXPECT_FALSE(Main->BtnDelete->isEnabled());
    Select(1);
    EXPECT_TRUE(Main->BtnDelete->isEnabled());
    Main->BtnDelete->trigger();
    EXPECT_EQ(LogLines("> DELE"), std::vector<std::string>{"> DELE 2"});
    EXPECT_EQ(Main->StatusText(), "DELE 2");
    EXPECT_EQ(RowNumbers(), (std::vector<Integer>{1, 3}));
    ASSERT_EQ(Main->Messages().size(), 2u);
    EXPECT_EQ(Main->Messages()[1]->MessageNumber, 3);
    // The server deletes when the session ends.
    Main->BtnDisconnect->trigger();
    EXPECT_EQ(server.MessageFiles().size(), 2u);
    EXPECT_TRUE(Main->BtnConnect->isEnabled());
    EXPECT_FALSE(Main->BtnDisconnect->isEnabled());
}

// After Disconnect neither Delete nor closing sends anything.
TEST_F(AppTest, DeleteAndCloseAfterDisconnectSendNothing)
{
    Pop3Peer peer;
    ScriptCheck(peer, 2, 2);
    peer.Answer("+OK bye").Close();
    StartOn(peer);
    Connect();
    Main->BtnDisconnect->trigger();
    peer.Join();
    Select(0);
    EXPECT_TRUE(Main->BtnDelete->isEnabled());
    Main->BtnDelete->trigger();
    EXPECT_EQ(RowNumbers(), (std::vector<Integer>{1, 2}));
    CloseMain();
    EXPECT_EQ(peer.Transcript(), "USER demo\r\nPASS tqrnbzxa\r\nSTAT\r\nLIST\r\nTOP 1 0\r\nTOP 2 0\r\nQUIT\r\n");
}

// A Delete while the check waits for a TOP removes nothing and sends
// nothing, and every header block still lands in its own record.
TEST_F(AppTest, DeleteDuringTheCheckIsIgnored)
{
    Pop3Peer peer;
    ScriptCheck(peer, 2, 1);
    peer.Expect().WaitFor("deleted").Reply("+OK").Reply("Subject: message 2").Reply(".");
    peer.Answer("+OK bye");
    StartOn(peer);
    When([&] { return peer.Transcript().find("TOP 2 0") != std::string::npos; }, [&] {
        Select(0);
        Main->BtnDelete->trigger();
        peer.Signal("deleted");
    });
    Connect();
    EXPECT_EQ(RowNumbers(), (std::vector<Integer>{1, 2}));
    EXPECT_EQ(Main->LvwMessages->CellText(1, 0), "message 2");
    EXPECT_EQ(Main->Messages()[1]->HeaderLines, TStrings{"Subject: message 2"});
    CloseMain();
    peer.Join();
    EXPECT_EQ(peer.Transcript(), "USER demo\r\nPASS tqrnbzxa\r\nSTAT\r\nLIST\r\nTOP 1 0\r\nTOP 2 0\r\nQUIT\r\n");
}

// Closing in session sends QUIT, then writes the settings; the rows that
// go with the window never send DELE.
TEST_F(AppTest, CloseInSessionQuitsBeforeWritingSettings)
{
    Pop3Peer peer;
    ScriptCheck(peer, 2, 2);
    peer.Answer("+OK bye").Close();
    StartOn(peer);
    Connect();
    bool iniChangedBeforeQuit = true;
    auto previous = Main->Pop3Client->OnRequestDone;
    Main->Pop3Client->OnRequestDone = [&, previous](TObject* s, TPop3Request rq, Word e) {
        previous(s, rq, e);
        if (rq == pop3Quit)
            iniChangedBeforeQuit = IniText().find("ShowLog") != std::string::npos;
    };
    Select(0);
    CloseMain();
    Main.reset();
    peer.Join();
    EXPECT_FALSE(iniChangedBeforeQuit);
    EXPECT_NE(IniText().find("ShowLog=0"), std::string::npos);
    EXPECT_EQ(peer.Transcript(), "USER demo\r\nPASS tqrnbzxa\r\nSTAT\r\nLIST\r\nTOP 1 0\r\nTOP 2 0\r\nQUIT\r\n");
}

// Closing while the check waits ends the check at once (the request is
// abandoned), still writes the settings and never deletes.
TEST_F(AppTest, CloseDuringTheCheckEndsItFirst)
{
    Pop3Peer peer;
    ScriptCheck(peer, 3, 1);
    peer.Expect().WaitFor("never");
    StartOn(peer);
    When([&] { return peer.Transcript().find("TOP 2 0") != std::string::npos; }, [&] { CloseMain(); });
    QElapsedTimer clock;
    clock.start();
    Connect();
    EXPECT_LT(clock.elapsed(), 10000); // well before the 15 s timeout
    EXPECT_FALSE(Main->isVisible());
    EXPECT_NE(IniText().find("ShowLog=0"), std::string::npos);
    Main.reset();
    peer.Signal("never");
    peer.Join();
    EXPECT_EQ(peer.Transcript(), "USER demo\r\nPASS tqrnbzxa\r\nSTAT\r\nLIST\r\nTOP 1 0\r\nTOP 2 0\r\n");
}

TEST_F(AppTest, UnwritableSettingsAreReportedAndTheWindowCloses)
{
    IniPath = (Dir / "missing" / "Quillbox.ini").string();
    Start();
    std::string shown;
    OnNextModal([&](QWidget* modal) {
        auto* box = static_cast<QMessageBox*>(modal);
        shown = box->windowTitle().toStdString() + ": " + box->text().toStdString();
        box->accept();
    });
    CloseMain();
    EXPECT_EQ(shown, "Error: Unable to write to " + IniPath);
    EXPECT_FALSE(Main->isVisible());
}

} // namespace
