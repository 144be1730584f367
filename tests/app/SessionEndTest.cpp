// The user deletes messages, disconnects and closes the program.
#include "tests/app/AppFixture.h"

#include <QMessageBox>

namespace {

using testsupport::Dovecot;
using testsupport::Pop3Peer;

// Delete sends DELE with the row's message number, also in another order
// than the server's, and the row goes once the server has confirmed; no row
// stays selected, so a second press deletes nothing. Two deletions in turn
// remove exactly those two messages from the Maildir at QUIT. After
// Disconnect, neither Delete nor closing sends anything.
TEST_F(AppTest, DeleteInSessionOnlyAndByTheRowsNumber)
{
    Dovecot server(4, 5);
    StartOn(server);
    Connect();
    EXPECT_FALSE(Main->BtnDelete->isEnabled());
    ClickHeader(TFrmMain::kSizeColumn);
    ClickHeader(TFrmMain::kSizeColumn);
    const std::vector<std::string> rows = Rows();
    ASSERT_EQ(rows.size(), 4u);
    const Integer first = Main->LvwMessages->Row(0)->Data();
    const Integer second = Main->LvwMessages->Row(2)->Data();
    Select(0);
    EXPECT_TRUE(Main->BtnDelete->isEnabled());
    Main->BtnDelete->trigger();
    EXPECT_EQ(Main->StatusText(), "DELE " + std::to_string(first));
    EXPECT_EQ(Main->LvwMessages->SelCount(), 0);
    EXPECT_FALSE(Main->BtnDelete->isEnabled());
    Main->BtnDelete->trigger();
    EXPECT_EQ(Rows(), (std::vector<std::string>{rows[1], rows[2], rows[3]}));
    Select(1);
    Main->BtnDelete->trigger();
    EXPECT_EQ(Rows(), (std::vector<std::string>{rows[1], rows[3]}));
    ASSERT_EQ(Main->Messages().size(), 2u);
    EXPECT_EQ(LogLines("> DELE"),
              (std::vector<std::string>{"> DELE " + std::to_string(first), "> DELE " + std::to_string(second)}));

    Main->BtnDisconnect->trigger();
    EXPECT_TRUE(Main->BtnConnect->isEnabled());
    EXPECT_FALSE(Main->BtnDisconnect->isEnabled());
    std::vector<std::string> kept;
    for (const auto& file : server.MessageFiles())
        kept.push_back(file.filename().string());
    std::vector<std::string> expected;
    for (Integer number = 1; number <= 4; ++number)
        if (number != first && number != second)
            expected.push_back(testsupport::MaildirFileName(size_t(number - 1)));
    EXPECT_EQ(kept, expected);

    Select(0);
    EXPECT_TRUE(Main->BtnDelete->isEnabled());
    Main->BtnDelete->trigger();
    EXPECT_EQ(Rows(), (std::vector<std::string>{rows[1], rows[3]}));
    Main->close();
    EXPECT_EQ(LogLines("> DELE").size(), 2u);
    EXPECT_EQ(LogLines("> QUIT"), std::vector<std::string>{"> QUIT"});
}

// A DELE that the server refuses, or does not answer, must not look like a
// deletion: the row and its record stay, and the status bar says why.
TEST_F(AppTest, RefusedOrUnansweredDeleKeepsTheRow)
{
    const struct {
        bool Silent;
        const char* Status;
    } cases[] = {
        {false, "DELE 2 refused: -ERR Message is locked; the message is kept"},
        {true, "DELE 2 not answered; the message is kept"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Status);
        Pop3Peer peer;
        ScriptCheck(peer, 2, 2);
        if (c.Silent)
            peer.Expect().WaitFor("never");
        else
            peer.Answer("-ERR Message is locked").Expect();
        StartOn(peer);
        Main->Pop3Client->SetTimeout(1);
        Connect();
        Select(1);
        Main->BtnDelete->trigger();
        QTest::qWait(50); // what the loop still delivers must not hide it
        EXPECT_EQ(Main->StatusText(), c.Status);
        EXPECT_EQ(Rows(), (std::vector<std::string>{"1:message 1|||0,1 kt", "2:message 2|||0,1 kt"}));
        EXPECT_EQ(Main->Messages().size(), 2u);
        peer.Signal("never");
        Stop();
        peer.Join();
        EXPECT_EQ(peer.Transcript(), kCheckOfTwo + "DELE 2\r\n");
    }
}

// A server that refuses QUIT keeps the session open; the next Connect
// clears the rows of the old session without a DELE for any of them (the
// engine refuses the connect and the login on the open session, and STAT
// and LIST go out on it).
TEST_F(AppTest, RefusedQuitThenConnectSendsNoDele)
{
    Pop3Peer peer;
    ScriptCheck(peer, 2, 2);
    peer.Answer("-ERR not now").Answer("+OK 0 0").Answer("+OK").Reply(".");
    StartOn(peer);
    Connect();
    Main->BtnDisconnect->trigger();
    ASSERT_EQ(Main->Pop3Client->ProtocolState(), pop3Transaction);
    Connect();
    EXPECT_EQ(Main->LvwMessages->RowCount(), 0);
    EXPECT_TRUE(Main->Messages().empty());
    Stop();
    peer.Join();
    EXPECT_EQ(peer.Transcript(), kCheckOfTwo + "QUIT\r\nSTAT\r\nLIST\r\n");
}

// A Delete while the check waits for a TOP removes nothing and sends
// nothing, and every header block still lands in its own record. Closing
// in session then sends QUIT before writing the settings, and the rows
// that go with the window never send DELE.
TEST_F(AppTest, DeleteDuringTheCheckIsIgnoredAndCloseQuitsFirst)
{
    Pop3Peer peer;
    ScriptCheck(peer, 2, 1);
    peer.Expect().WaitFor("deleted").Reply("+OK").Reply("Subject: message 2").Reply(".");
    peer.Answer("+OK bye").Close();
    StartOn(peer);
    When([&] { return peer.Transcript().find("TOP 2 0") != std::string::npos; }, [&] {
        Select(0);
        Main->BtnDelete->trigger();
        peer.Signal("deleted");
    });
    Connect();
    EXPECT_EQ(Rows(), (std::vector<std::string>{"1:message 1|||0,1 kt", "2:message 2|||0,1 kt"}));
    EXPECT_EQ(Main->Messages()[1]->HeaderLines, TStrings{"Subject: message 2"});
    std::string iniAtQuit = "not yet";
    auto previous = Main->Pop3Client->OnRequestDone;
    Main->Pop3Client->OnRequestDone = [&, previous](TObject* s, TPop3Request rq, Word e) {
        previous(s, rq, e);
        if (rq == pop3Quit)
            iniAtQuit = IniText();
    };
    Main->close();
    peer.Join();
    EXPECT_EQ(iniAtQuit, "[Account]\nHost=127.0.0.1\nPort=" + peer.PortText() + "\nUser=demo\n");
    EXPECT_NE(IniText().find("ShowLog=0"), std::string::npos);
    EXPECT_EQ(peer.Transcript(), kCheckOfTwo + "QUIT\r\n");
}

TEST_F(AppTest, UnwritableSettingsAreReportedAndTheWindowCloses)
{
    std::ofstream(Dir / "missing") << "a file where the folder would be made\n"; // stops root too
    IniPath = (Dir / "missing" / "Quillbox.ini").string();
    Start();
    std::string shown;
    OnNextModal([&](QWidget* modal) {
        auto* box = static_cast<QMessageBox*>(modal);
        shown = box->windowTitle().toStdString() + ": " + box->text().toStdString();
        box->accept();
    });
    Main->close();
    EXPECT_EQ(shown, "Error: Unable to write to " + IniPath);
    EXPECT_FALSE(Main->isVisible());
}

} // namespace
