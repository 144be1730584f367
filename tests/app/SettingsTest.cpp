// The user keeps the account in the settings file, edits it in the mail
// server dialog, and shows or hides the log window.
#include "tests/app/AppFixture.h"

#include <QAction>
#include <QLineEdit>

namespace {

using testsupport::Pop3Peer;

TEST_F(AppTest, FirstStartWithoutSettingsFile)
{
    Start();
    EXPECT_EQ(Main->AccountHost(), "");
    EXPECT_EQ(Main->Pop3Client->Port(), ""); // not the initial "pop3"
    EXPECT_EQ(Main->Pop3Client->PassWord(), "tqrnbzxa");
    EXPECT_FALSE(Log->isVisible());
    EXPECT_FALSE(Main->MnuOptionsLog->isChecked());
    CloseMain();
    EXPECT_EQ(IniText(), "[Account]\nHost=\nPort=\nUser=\n[Options]\nShowLog=0\n");
}

TEST_F(AppTest, ShowLogValueForms)
{
    const struct {
        const char* Value;
        bool Shown;
    } cases[] = {{"1", true},  {"01", true},   {"0x1", true}, {"$1", true}, {"2", false},
                 {"yes", false}, {"true", false}, {"", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Value);
        WriteIni(std::string("[Options]\nShowLog=") + c.Value + "\n");
        Start();
        EXPECT_EQ(Log->isVisible(), c.Shown);
        EXPECT_EQ(Main->MnuOptionsLog->isChecked(), c.Shown);
        CloseMain();
        EXPECT_NE(IniText().find(c.Shown ? "ShowLog=1" : "ShowLog=0"), std::string::npos);
    }
}

// Only the four keys change; the password typed in the dialog never
// reaches the file, and everything else stays byte for byte.
TEST_F(AppTest, SavingKeepsOtherContentAndNeverThePassword)
{
    WriteIni("; own notes\r\n[Account]\r\nHost=old\r\nSignature=Terveisin, Liisa\r\n\r\n"
             "[Window]\r\nLeft=10\r\n");
    Start();
    RunDialog([](TDlgOptionsAccount& dlg) {
        dlg.TxtHost->setText("mail.example.fi");
        dlg.TxtPassword->setText("salainen");
    }, Qt::Key_Return);
    CloseMain();
    EXPECT_EQ(IniText(), "; own notes\r\n[Account]\r\nHost=mail.example.fi\r\nSignature=Terveisin, Liisa\r\n"
                         "Port=\r\nUser=\r\n\r\n[Window]\r\nLeft=10\r\n[Options]\r\nShowLog=0\r\n");
}

// OK takes the texts for the next Connect, as Windows-1252 bytes; the
// password field then shows the typed password masked, never the built-in.
TEST_F(AppTest, DialogOkTakesTheTextsAndRemembersThePassword)
{
    Pop3Peer peer;
    peer.Reply("+OK ready").Answer("+OK").Answer("-ERR no").Close();
    peer.Start();
    Start();
    RunDialog([&](TDlgOptionsAccount& dlg) {
        EXPECT_EQ(dlg.TxtHost->text(), "");
        EXPECT_EQ(dlg.TxtPassword->text(), "");
        dlg.TxtHost->setText("127.0.0.1");
        dlg.TxtPort->setText(QString::fromStdString(peer.PortText()));
        dlg.TxtUser->setText(QString::fromUtf8("käyttäjä"));
        dlg.TxtPassword->setText(QString::fromUtf8("pääsy"));
    }, Qt::Key_Return);
    EXPECT_EQ(Main->AccountUser(), "k\xE4ytt\xE4j\xE4");
    Connect();
    peer.Join();
    EXPECT_EQ(peer.Transcript(), "USER k\xE4ytt\xE4j\xE4\r\nPASS p\xE4\xE4sy\r\n");
    RunDialog([&](TDlgOptionsAccount& dlg) {
        EXPECT_EQ(dlg.TxtPassword->text(), QString::fromUtf8("pääsy"));
        EXPECT_EQ(dlg.TxtPassword->displayText(), "*****");
    }, Qt::Key_Escape);
}

TEST_F(AppTest, DialogCancelAndEscChangeNothing)
{
    for (int key : {0, int(Qt::Key_Escape)}) {
        SCOPED_TRACE(key);
        WriteAccount("110");
        Start();
        RunDialog([](TDlgOptionsAccount& dlg) {
            EXPECT_EQ(dlg.TxtPort->text(), "110");
            dlg.TxtHost->setText("changed");
            dlg.TxtUser->setText("changed");
            dlg.TxtPassword->setText("changed");
        }, key);
        EXPECT_EQ(Main->AccountHost(), "127.0.0.1");
        EXPECT_EQ(Main->AccountUser(), "demo");
        EXPECT_EQ(Main->Pop3Client->PassWord(), "tqrnbzxa");
    }
}

// The menu item shows and hides the log window, which keeps its lines; its
// own close box hides it but leaves the choice as it was.
TEST_F(AppTest, LogWindowShowsAndHides)
{
    WriteIni("[Options]\nShowLog=1\n");
    Start();
    const auto state = [this] { return std::pair(Log->isVisible(), Main->MnuOptionsLog->isChecked()); };
    EXPECT_EQ(state(), std::pair(true, true));
    Main->MnuOptionsLog->trigger();
    EXPECT_EQ(state(), std::pair(false, false));
    Main->Pop3Client->OnDisplay(nullptr, "while hidden");
    Main->MnuOptionsLog->trigger();
    EXPECT_EQ(state(), std::pair(true, true));
    EXPECT_EQ(LogLines(), TStrings{"while hidden"});
    Log->close();
    EXPECT_EQ(state(), std::pair(false, true));
    Main->MnuOptionsLog->trigger();
    EXPECT_EQ(state(), std::pair(false, false));
    Main->MnuOptionsLog->trigger();
    EXPECT_EQ(state(), std::pair(true, true));
    Log->close();
    CloseMain();
    EXPECT_NE(IniText().find("ShowLog=1"), std::string::npos);
}

} // namespace
