// The user deletes messages, disconnects and closes the program.
#include "tests/app/AppFixture.h"

#include <QElapsedTimer>
#include <QMessageBox>

namespace {

using testsupport::Dovecot;
using testsupport::Pop3Peer;

// Delete sends DELE with the row's message number; after Disconnect,
// neither Delete nor closing sends anything.
TEST_F(AppTest, DeleteInSessionOnlyAndByTheRowsNumber)
{
    Dovecot server(3, 5);
    StartOn(server);
    Connect();
    EXPECT_FALSE(Main->BtnDelete->isEnabled());
    const std::vector<std::string> rows = Rows();
    ASSERT_EQ(rows.size(), 3u);
    Select(1);
    EXPECT_TRUE(Main->BtnDelete->isEnabled());
    Main->BtnDelete->trigger();
    EXPECT_EQ(Main->StatusText(), "DELE 2");
    EXPECT_EQ(Rows(), (std::vector<std::string>{rows[0], rows[2]}));
    ASSERT_EQ(Main->Messages().size(), 2u);
    EXPECT_EQ(Main->Messages()[1]->MessageNumber, 3);
    Main->BtnDisconnect->trigger();
    EXPECT_TRUE(Main->BtnConnect->isEnabled());
    EXPECT_FALSE(Main->BtnDisconnect->isEnabled());
    Select(0);
    EXPECT_TRUE(Main->BtnDelete->isEnabled());
    Main->BtnDelete->trigger();
    EXPECT_EQ(Rows(), (std::vector<std::string>{rows[0], rows[2]}));
    Main->close();
    EXPECT_EQ(LogLines("> DELE"), std::vector<std::string>{"> DELE 2"});
    EXPECT_EQ(LogLines("> QUIT"), std::vector<std::string>{"> QUIT"});
    // The server deleted at the end of the session.
    EXPECT_EQ(server.MessageFiles().size(), 2u);
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
    EXPECT_EQ(Rows(), (std::vector<std::string>{"1:message 1|||100", "2:message 2|||100"}));
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

// Closing while the check waits abandons the request at once (well before
// the 15 s timeout), still writes the settings and never deletes.
TEST_F(AppTest, CloseDuringTheCheckEndsItFirst)
{
    Pop3Peer peer;
    ScriptCheck(peer, 3, 1);
    peer.Expect().WaitFor("never");
    StartOn(peer);
    When([&] { return peer.Transcript().find("TOP 2 0") != std::string::npos; }, [&] { Main->close(); });
    QElapsedTimer clock;
    clock.start();
    Connect();
    EXPECT_LT(clock.elapsed(), 10000);
    EXPECT_FALSE(Main->isVisible());
    EXPECT_NE(IniText().find("ShowLog=0"), std::string::npos);
    Main.reset();
    peer.Signal("never");
    peer.Join();
    EXPECT_EQ(peer.Transcript(), kCheckOfTwo);
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
