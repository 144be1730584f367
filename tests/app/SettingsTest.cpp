// The user keeps the account in the settings file, edits it in the mail
// server dialog, and shows or hides the log window.
#include "tests/app/AppFixture.h"

#include <QLineEdit>

namespace {

using testsupport::Pop3Peer;

// Without the key (or the file) the log is hidden; ShowLog shows it for
// the integer 1 in any of its forms. Without an account the port is empty,
// not the client's initial "pop3". Closing writes the four keys, creating
// the file when there is none.
TEST_F(AppTest, ShowLogForms)
{
    const struct {
        const char* Value; // nullptr: no file
        bool Shown;
    } cases[] = {{nullptr, false}, {"1", true},     {"01", true},     {"0x1", true}, {"$1", true},
                 {"2", false},     {"yes", false}, {"true", false}, {"", false}};
    const std::string account = "[Account]\nHost=\nPort=\nUser=\n";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Value ? c.Value : "no file");
        if (c.Value)
            WriteIni(std::string("[Options]\nShowLog=") + c.Value + "\n");
        Start();
        EXPECT_EQ(Log->isVisible(), c.Shown);
        EXPECT_EQ(Main->MnuOptionsLog->isChecked(), c.Shown);
        EXPECT_EQ(Main->Pop3Client->Port(), "");
        Main->close();
        const std::string options = std::string("[Options]\nShowLog=") + (c.Shown ? "1" : "0") + "\n";
        EXPECT_EQ(IniText(), c.Value ? options + account : account + options);
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
    Main->close();
    EXPECT_EQ(IniText(), "; own notes\r\n[Account]\r\nHost=mail.example.fi\r\nSignature=Terveisin, Liisa\r\n"
                         "Port=\r\nUser=\r\n\r\n[Window]\r\nLeft=10\r\n[Options]\r\nShowLog=0\r\n");
}

// OK takes the texts for the next Connect, as Windows-1252 bytes; the
// server refuses the password, and the check stops there: the dialog opens
// again at the password (Cancel here), the session ends with QUIT, and the
// status bar says why. Cancel and Esc change nothing. The password field
// shows what was typed in it last, masked, never the built-in one.
TEST_F(AppTest, AccountFromTheDialogAndAWrongPassword)
{
    Pop3Peer peer;
    ScriptBanner(peer);
    peer.Answer("+OK").Answer("-ERR [AUTH] Authentication failed.").Answer("+OK");
    peer.Start();
    Start();
    RunDialog([&](TDlgOptionsAccount& dlg) {
        EXPECT_EQ(dlg.TxtHost->text() + dlg.TxtPassword->text(), "");
        dlg.TxtHost->setText("127.0.0.1");
        dlg.TxtPort->setText(QString::fromStdString(peer.PortText()));
        dlg.TxtUser->setText(QString::fromUtf8("käyttäjä"));
        dlg.TxtPassword->setText(QString::fromUtf8("pääsy"));
    }, Qt::Key_Return);
    OnNextModal([](QWidget* modal) {
        auto& dlg = static_cast<TDlgOptionsAccount&>(*modal);
        EXPECT_EQ(dlg.focusWidget(), dlg.TxtPassword);
        dlg.BtnCancel->click();
    });
    Connect();
    EXPECT_EQ(Main->StatusText(), "Kirjautuminen ep\xE4onnistui: k\xE4ytt\xE4j\xE4tunnus tai salasana on "
                                  "v\xE4\xE4rin (Authentication failed.)");
    EXPECT_TRUE(LogLines("-ERR").empty());
    EXPECT_EQ(LogLines("Request Done Rq=2"), std::vector<std::string>{"Request Done Rq=2 Error=500"});
    QString typed = QString::fromUtf8("pääsy");
    for (int key : {0, int(Qt::Key_Escape)}) {
        SCOPED_TRACE(key);
        RunDialog([&](TDlgOptionsAccount& dlg) {
            EXPECT_EQ(dlg.TxtPort->text().toStdString(), peer.PortText());
            EXPECT_EQ(dlg.TxtPassword->text(), typed);
            EXPECT_EQ(dlg.TxtPassword->displayText(), QString(typed.size(), '*'));
            dlg.TxtHost->setText("changed");
            dlg.TxtUser->setText("changed");
            dlg.TxtPassword->setText(typed = "changed");
        }, key);
        EXPECT_EQ(Main->AccountHost() + " " + Main->AccountUser(), "127.0.0.1 k\xE4ytt\xE4j\xE4");
        EXPECT_EQ(Main->Pop3Client->PassWord(), "p\xE4\xE4sy");
    }
    Stop();
    peer.Join();
    EXPECT_EQ(peer.Transcript(), "CAPA\r\nUSER k\xE4ytt\xE4j\xE4\r\nPASS p\xE4\xE4sy\r\nQUIT\r\n");
}

// The menu item shows and hides the log window, which keeps its lines; its
// own close box hides it but leaves the choice as it was.
TEST_F(AppTest, LogWindowShowsAndHides)
{
    WriteIni("[Options]\nShowLog=1\n");
    Start();
    // Each step: m the menu item, c the log's close box, d a log line.
    std::string states;
    for (char step : std::string("-mdmcmmc")) {
        if (step == 'm')
            Main->MnuOptionsLog->trigger();
        if (step == 'c')
            Log->close();
        if (step == 'd')
            Main->Pop3Client->OnDisplay(nullptr, "while hidden");
        states += std::to_string(Log->isVisible()) + std::to_string(Main->MnuOptionsLog->isChecked()) + " ";
    }
    EXPECT_EQ(states, "11 00 00 11 01 00 11 01 ");
    EXPECT_EQ(LogLines(), TStrings{"while hidden"});
    Main->close();
    EXPECT_NE(IniText().find("ShowLog=1"), std::string::npos);
}

} // namespace

namespace {

// The window starts in the original layout and resizes with the list
// filling it; its size, its maximised state and the column widths are kept
// in "Options" and restored. A key is written only when the file had it or
// the user changed its value, so an old file stays as it was (the tests
// above), and a value that is no size gives the initial layout's.
TEST_F(AppTest, WindowSizeAndColumnWidthsAreKept)
{
    Start();
    EXPECT_EQ(Main->LvwMessages->geometry(), QRect(8, 40, 553, 169));
    const QSize initial = Main->size();
    EXPECT_EQ(initial.width(), 570);
    Main->resize(700, 450);
    EXPECT_TRUE(QTest::qWaitFor([&] { return Main->LvwMessages->width() == 700 - 17; }));
    EXPECT_EQ(Main->LvwMessages->geometry(), QRect(8, 40, 700 - 17, 169 + 450 - initial.height()));
    Main->LvwMessages->setColumnWidth(TFrmMain::kSubjectColumn, 300);
    Main->close();
    const std::string account = "[Account]\nHost=\nPort=\nUser=\n";
    EXPECT_EQ(IniText(), account + "[Options]\nShowLog=0\nWindowWidth=700\nWindowHeight=450\n"
                                   "ColumnWidths=300,150,120,50\n");

    Start();
    EXPECT_EQ(Main->size(), QSize(700, 450));
    EXPECT_EQ(Main->LvwMessages->columnWidth(TFrmMain::kSubjectColumn), 300);
    Main->showMaximized();
    EXPECT_TRUE(QTest::qWaitFor([&] { return Main->isMaximized(); }));
    Main->close();
    EXPECT_EQ(IniText(), account + "[Options]\nShowLog=0\nWindowWidth=700\nWindowHeight=450\n"
                                   "ColumnWidths=300,150,120,50\nWindowMaximized=1\n");
    Start();
    EXPECT_TRUE(Main->isMaximized());
    Main->close();
    EXPECT_NE(IniText().find("WindowWidth=700\nWindowHeight=450\n"), std::string::npos);

    WriteIni("[Options]\nWindowWidth=wide\nWindowHeight=99999999\nWindowMaximized=0\nColumnWidths=-5,,77\n");
    Start();
    EXPECT_EQ(Main->size(), initial);
    EXPECT_FALSE(Main->isMaximized());
    std::vector<int> widths;
    for (int column = 0; column < TFrmMain::kColumnCount; ++column)
        widths.push_back(Main->LvwMessages->columnWidth(column));
    EXPECT_EQ(widths, (std::vector<int>{220, 150, 77, 50}));
    Main->close();
    EXPECT_EQ(IniText(), "[Options]\nWindowWidth=570\nWindowHeight=" + std::to_string(initial.height())
                             + "\nWindowMaximized=0\nColumnWidths=220,150,77,50\nShowLog=0\n" + account);
}

} // namespace
