// How the check logs in and what it says when it cannot: the "Login" and
// "PasswordCommand" settings and their dialog fields, the methods against
// Dovecot over STLS, "auto" in the clear, failed checks and response codes
// in the status bar, the dialog after a refused login, the password
// command's outcomes, and an OAuth2 token from a command.
#include "tests/app/AppFixture.h"
#include "tests/support/TlsServer.h"
#include "tests/support/TokenIntrospection.h"

#include "app/AnsiText.h"
#include "platform/Sockets.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>

#include <cctype>
#include <cstdio>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using testsupport::Dovecot;
using testsupport::Pop3Peer;
using testsupport::TestPki;

std::string ServerIni(const Dovecot& server, const std::string& more, const std::string& security = "starttls")
{
    return "[Account]\nHost=localhost\nPort=" + server.PortText() + "\nUser=demo\nSecurity=" + security +
           "\nCaFile=" + TestPki::Get().Cert("ca") + "\n" + more;
}

// Whether a process of the group is still there (a zombie, which only
// waits for its parent to collect it, is not).
bool GroupAlive(pid_t group)
{
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::string stat; // the process may go while it is read
        if (std::isdigit(entry.path().filename().c_str()[0]))
            std::getline(std::ifstream(entry.path() / "stat"), stat);
        char state = 0;
        int parent = 0, pgrp = 0;
        if (stat.rfind(')') != std::string::npos &&
            std::sscanf(stat.c_str() + stat.rfind(')') + 1, " %c %d %d", &state, &parent, &pgrp) == 3 &&
            pgrp == group && state != 'Z')
            return true;
    }
    return false;
}

testsupport::DovecotTls ServerTls()
{
    const TestPki& pki = TestPki::Get();
    return {pki.Cert("server"), pki.Key("server"), pki.Dir + "/dh.pem"};
}

TEST(LoginMethod, AutoTakesTheStrongestOfferAndNeverThePasswordInTheClear)
{
    const struct {
        TLoginOffers Offers;
        bool Encrypted;
        std::optional<TLoginMethod> Chosen;
    } cases[] = {
        {{true, true, true, {"PLAIN", "CRAM-MD5", "SCRAM-SHA-256"}}, false, loginScramSha256},
        {{true, true, true, {"plain", "cram-md5"}}, false, loginCramMd5},
        {{true, true, true, {"PLAIN"}}, false, loginApop},
        {{true, true, false, {"PLAIN", "LOGIN"}}, false, std::nullopt},
        {{true, true, false, {"PLAIN", "LOGIN"}}, true, loginPlain},
        {{true, false, false, {"XOAUTH2", "OAUTHBEARER"}}, true, std::nullopt},
        {{false, false, false, {}}, true, loginUser}, // no CAPA: RFC 1939's USER
        {{false, false, false, {}}, false, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(LoginOffersText(c.Offers) + (c.Encrypted ? " TLS" : " clear"));
        EXPECT_EQ(ChooseLogin(c.Offers, c.Encrypted), c.Chosen);
    }
}

// What the file says and what closing writes back: an old file gains
// nothing, a value is kept in lower case, one that names no method stays
// and stops the check before it connects. In the dialog the two new rows
// sit below the user name, 32 pixels apart and in tab order (Alt+K: the
// user name, then "Kirjautuminen"); a command disables the password field.
TEST_F(AppTest, LoginSettingsAndTheDialog)
{
    const std::string account = "[Account]\nHost=127.0.0.1\nPort=1\nUser=u\n";
    const struct {
        const char* Keys;
        const char* Login;
        const char* Saved;
    } cases[] = {
        {"", "user", ""},
        {"Login=SCRAM-SHA-256\nPasswordCommand=pass x\n", "scram-sha-256", "Login=scram-sha-256\nPasswordCommand=pass x\n"},
        {"Login=\nPasswordCommand=\n", "user", "Login=user\nPasswordCommand=\n"},
        {"Login=kerberos\n", "kerberos", "Login=kerberos\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Keys);
        WriteIni(account + c.Keys);
        Start();
        EXPECT_EQ(Main->AccountLogin(), c.Login);
        if (std::string(c.Login) == "kerberos") {
            Connect();
            EXPECT_EQ(Main->StatusText(), AnsiOfUtf8("Kirjautuminen epäonnistui: asetuksen Login arvo \"kerberos\" ei ole "
                                                     "kirjautumistapa; valitse kirjautumistapa postipalvelimen asetuksista"));
        }
        Main->close();
        EXPECT_EQ(IniText(), account + c.Saved + "[Options]\nShowLog=0\n");
    }
    WriteIni(account);
    Start();
    RunDialog([](TDlgOptionsAccount& dlg) {
        EXPECT_EQ(dlg.CmbLogin->geometry().top(), dlg.TxtUser->geometry().top() + 32);
        EXPECT_EQ(dlg.TxtPasswordCommand->geometry().top(), dlg.TxtPassword->geometry().top() + 32);
        EXPECT_EQ(dlg.CmbLogin->currentText(), QString::fromUtf8("Salasana (USER/PASS)"));
        EXPECT_LE(dlg.CmbLogin->sizeHint().width(), dlg.CmbLogin->width());
        for (QLabel* label : dlg.findChildren<QLabel*>())
            EXPECT_LE(label->sizeHint().width(), label->width()) << label->text().toStdString();
        std::string keys;
        for (Qt::Key key : {Qt::Key_K, Qt::Key_K, Qt::Key_M}) {
            QTest::keyClick(&dlg, key, Qt::AltModifier);
            keys += QApplication::focusWidget()->objectName().toStdString() + " ";
        }
        EXPECT_EQ(keys, "TxtUser CmbLogin TxtPasswordCommand ");
        QTest::keyClicks(dlg.TxtPasswordCommand, "secret-tool lookup a b");
        EXPECT_FALSE(dlg.TxtPassword->isEnabled());
        dlg.CmbLogin->setCurrentIndex(loginAuto);
    }, Qt::Key_Return);
    RunDialog([](TDlgOptionsAccount& dlg) {
        EXPECT_FALSE(dlg.TxtPassword->isEnabled());
        dlg.TxtPasswordCommand->clear();
        EXPECT_TRUE(dlg.TxtPassword->isEnabled());
    }, 0);
    Main->close();
    EXPECT_EQ(IniText(), account + "Login=auto\nPasswordCommand=secret-tool lookup a b\n[Options]\nShowLog=0\n");
}

// Every method through the window against Dovecot over STLS, and "auto"
// also in the clear, where Dovecot's SCRAM-SHA-256 does not send the
// password: the same rows each time, and Dovecot's log names the method.
TEST_F(AppTest, EveryLoginMethodAgainstDovecot)
{
    Dovecot server(3, 1, ServerTls());
    const struct {
        const char* Login;
        const char* Security;
        const char* Sent;   // the login's line in the log
        const char* Method; // Dovecot's name for it
    } cases[] = {
        {"user", "starttls", "> PASS ********", "PLAIN"},
        {"apop", "starttls", "> APOP demo ********", "APOP"},
        {"plain", "starttls", "> AUTH PLAIN ********", "PLAIN"},
        {"login", "starttls", "> AUTH LOGIN", "LOGIN"},
        {"cram-md5", "starttls", "> AUTH CRAM-MD5", "CRAM-MD5"},
        {"scram-sha-256", "starttls", "> AUTH SCRAM-SHA-256 ********", "SCRAM-SHA-256"},
        {"auto", "starttls", "> AUTH SCRAM-SHA-256 ********", "SCRAM-SHA-256"},
        {"auto", "none", "> AUTH SCRAM-SHA-256 ********", "SCRAM-SHA-256"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.Login) + " " + c.Security);
        WriteIni(ServerIni(server, std::string("Login=") + c.Login + "\n", c.Security));
        Start();
        Connect();
        EXPECT_EQ(Main->StatusText(), AnsiOfUtf8("Käyttäjällä demo on 3 viestiä"));
        EXPECT_EQ(LogLines(c.Sent).size(), 1u);
        EXPECT_EQ(LogLines("Login with SCRAM-SHA-256 (chosen automatically)").size(), c.Login == std::string("auto"));
        const std::string log = server.Log();
        const std::string login = log.substr(log.rfind("Login: "));
        EXPECT_NE(login.find(std::string("method=") + c.Method), std::string::npos) << login;
        EXPECT_EQ(login.find("TLS") != std::string::npos, c.Security == std::string("starttls")) << login;
    }
    EXPECT_EQ(LogLines("Connection is not encrypted: SCRAM-SHA-256 does not send the password").size(), 1u);
}

// In the clear "auto" takes CRAM-MD5 or APOP, which send no password, and
// refuses when every offer would send it; a choice the server does not
// offer fails naming what it does. Nothing secret goes out in either case.
TEST_F(AppTest, AutoInTheClearAndChoicesNotOffered)
{
    const struct {
        const char* Login;
        const char* Banner;
        const char* Sasl;
        const char* Sent; // what the server receives after CAPA
        const char* Status;
    } cases[] = {
        {"auto", "+OK ready <1.2@h>", "SASL PLAIN CRAM-MD5", "AUTH CRAM-MD5\r\n", nullptr},
        {"auto", "+OK ready <1.2@h>", "SASL PLAIN", "APOP demo ", nullptr},
        {"auto", "+OK ready", "SASL PLAIN", "QUIT\r\n",
         "Kirjautuminen epäonnistui: yhteys ei ole salattu, eikä automaattinen kirjautuminen lähetä salasanaa "
         "selväkielisenä (palvelin tarjoaa: USER/PASS, PLAIN). Ota salaus käyttöön tai valitse kirjautumistavaksi "
         "\"Salasana (USER/PASS)\""},
        {"scram-sha-256", "+OK ready", "SASL PLAIN", "QUIT\r\n",
         "Kirjautuminen epäonnistui: palvelin ei tarjoa kirjautumistapaa SCRAM-SHA-256 (se tarjoaa: USER/PASS, PLAIN)"},
        {"apop", "+OK ready", "SASL", "QUIT\r\n",
         "Kirjautuminen epäonnistui: palvelin ei tarjoa kirjautumistapaa APOP (se tarjoaa: USER/PASS)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.Login) + " " + c.Sasl);
        Pop3Peer peer;
        peer.Reply(c.Banner).Answer("+OK").Reply("USER").Reply(c.Sasl).Reply(".");
        if (std::string(c.Sent).starts_with("AUTH"))
            peer.Answer("+ PDEyMzQ1QGg+"); // "<12345@h>", a challenge of RFC 2195's form
        if (!c.Status)
            peer.Answer("+OK").Answer("+OK 0 0").Answer("+OK").Reply(".");
        else
            peer.Answer("+OK bye");
        StartOn(peer, std::string("Login=") + c.Login + "\n");
        Connect();
        peer.Join();
        EXPECT_EQ(Main->StatusText(), AnsiOfUtf8(c.Status ? c.Status : "Käyttäjällä demo on 0 viestiä"));
        EXPECT_TRUE(peer.Transcript().starts_with(std::string("CAPA\r\n") + c.Sent)) << peer.Transcript();
        EXPECT_EQ(peer.Transcript().find("tqrnbzxa"), std::string::npos);
    }
}

// A check that fails says where and why, never "0 viestiä": no listener, a
// name that does not resolve, a port that is no service, silence, a close,
// a refusing greeting, response codes on the login and on STAT.
TEST_F(AppTest, FailedChecksSayWhatFailed)
{
    const int unbound = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t size = sizeof address;
    ASSERT_EQ(::bind(unbound, reinterpret_cast<sockaddr*>(&address), size), 0);
    ASSERT_EQ(::getsockname(unbound, reinterpret_cast<sockaddr*>(&address), &size), 0);
    platform::sock::SetResolvers([](const std::string&) { return platform::sock::ResolvedHost{11001, {}, {}, {}}; },
                                 nullptr);
    const struct {
        std::string Account; // Host and Port; empty: the peer's
        std::function<void(Pop3Peer&)> Script;
        const char* Status;
        const char* Log;
    } cases[] = {
        {"Host=127.0.0.1\nPort=" + std::to_string(ntohs(address.sin_port)), nullptr,
         "Yhteys palvelimeen 127.0.0.1 epäonnistui: Connection refused",
         "Check failed at connect: -ERR Connection refused (Winsock error #10061)"},
        {"Host=pop.example.invalid\nPort=110", nullptr,
         "Yhteys palvelimeen pop.example.invalid epäonnistui: Host not found", "Check failed at connect: -ERR Host"},
        {"Host=127.0.0.1\nPort=no-such-service", nullptr,
         "Yhteys palvelimeen 127.0.0.1 epäonnistui: connect: WSocketResolvePort: Cannot convert port 'no-such-service'",
         "Check failed at connect: -ERR ESocketException: connect: "},
        {"", [](Pop3Peer& p) { p.WaitFor("never"); }, "Yhteys palvelimeen 127.0.0.1 epäonnistui: palvelin ei vastannut 1 sekunnissa",
         "Check failed at connect: no answer within 1 seconds"},
        {"", [](Pop3Peer& p) { p.Close(); }, "Yhteys palvelimeen 127.0.0.1 epäonnistui: palvelin katkaisi yhteyden",
         "Check failed at connect: the connection was closed"},
        {"", [](Pop3Peer& p) { p.Reply("-ERR [SYS/TEMP] Try later"); },
         "Yhteys palvelimeen 127.0.0.1 epäonnistui: palvelimella on tilapäinen häiriö, yritä myöhemmin uudelleen (Try later)",
         "Check failed at connect: < -ERR [SYS/TEMP] Try later"},
        {"", [](Pop3Peer& p) { ScriptBanner(p); p.Answer("+OK").Answer("-ERR [IN-USE] Mailbox is locked").Answer("+OK"); },
         "Kirjautuminen epäonnistui: postilaatikko on toisen istunnon käytössä (Mailbox is locked)",
         "Check failed at login: < -ERR [IN-USE] Mailbox is locked"},
        {"", [](Pop3Peer& p) { ScriptBanner(p); p.Answer("+OK").Answer("-ERR [LOGIN-DELAY] Wait").Answer("+OK"); },
         "Kirjautuminen epäonnistui: edellisestä kirjautumisesta on kulunut liian vähän aikaa (Wait)", nullptr},
        {"", [](Pop3Peer& p) { ScriptBanner(p); p.Answer("+OK").Answer("-ERR [SYS/PERM] Gone").Answer("+OK"); },
         "Kirjautuminen epäonnistui: palvelimella on pysyvä vika (Gone)", nullptr},
        {"", [](Pop3Peer& p) { ScriptBanner(p); p.Answer("+OK").Answer("+OK").Answer("-ERR [SYS/TEMP] Disk").Answer("+OK"); },
         "Postilaatikon tietojen haku epäonnistui: palvelimella on tilapäinen häiriö, yritä myöhemmin uudelleen (Disk)",
         "Check failed at STAT: < -ERR [SYS/TEMP] Disk"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Status);
        Pop3Peer peer;
        if (c.Script) {
            c.Script(peer);
            peer.Start();
        }
        WriteIni("[Account]\n" + (c.Account.empty() ? "Host=127.0.0.1\nPort=" + peer.PortText() : c.Account) +
                 "\nUser=demo\n");
        Start();
        Main->Pop3Client->SetTimeout(1);
        Connect();
        EXPECT_EQ(Main->StatusText(), AnsiOfUtf8(c.Status));
        EXPECT_EQ(LogLines(c.Log ? c.Log : "Check failed at login: < -ERR [").size(), 1u);
        EXPECT_TRUE(Main->BtnDisconnect->isEnabled());
        EXPECT_TRUE(Rows().empty());
        peer.Signal("never");
    }
    platform::sock::SetResolvers(nullptr, nullptr);
    ::close(unbound);
}

// A refused password opens the dialog at the password; each OK checks once
// more (here a wrong password again, then the right one).
TEST_F(AppTest, RefusedLoginAsksAgainAndOkChecksAgain)
{
    Dovecot server(2);
    StartOn(server);
    RunDialog([](TDlgOptionsAccount& dlg) { dlg.TxtPassword->setText("wrong"); }, Qt::Key_Return);
    std::vector<std::string> typed;
    std::function<void()> answer = [&] {
        OnNextModal([&](QWidget* modal) {
            auto& dlg = static_cast<TDlgOptionsAccount&>(*modal);
            EXPECT_EQ(dlg.focusWidget(), dlg.TxtPassword);
            typed.push_back(typed.empty() ? "still wrong" : server.Password());
            dlg.TxtPassword->setText(QString::fromStdString(typed.back()));
            if (typed.size() < 2)
                answer();
            dlg.BtnOK->click();
        });
    };
    answer();
    Connect();
    EXPECT_EQ(typed.size(), 2u);
    EXPECT_EQ(LogLines("> USER").size(), 3u);
    EXPECT_EQ(Main->StatusText(), AnsiOfUtf8("Käyttäjällä demo on 2 viestiä"));
}

// The password comes from the command (the typed one is wrong), for every
// Connect; its output appears nowhere: not in the log, not in the settings
// file, not in the arguments or environment of the command's shell or of
// the program itself (which the second run's shell writes out).
TEST_F(AppTest, PasswordCommandGivesThePasswordAndNothingElseSeesIt)
{
    Dovecot server(2);
    std::ofstream(Dir / "secret") << server.Password() << "\nsecond line\n";
    const std::string dump = (Dir / "dump").string();
    const std::string command = "cat " + (Dir / "secret").string() + " | head -1; [ -f " + dump +
                                ".1 ] && cat /proc/$$/cmdline /proc/$$/environ /proc/$PPID/cmdline /proc/$PPID/environ > " +
                                dump + "; touch " + dump + ".1";
    StartOn(server);
    RunDialog([&](TDlgOptionsAccount& dlg) {
        dlg.TxtPassword->setText("wrong");
        dlg.TxtPasswordCommand->setText(QString::fromStdString(command));
    }, Qt::Key_Return);
    for (int check = 0; check < 2; ++check) {
        Connect();
        EXPECT_EQ(Main->StatusText(), AnsiOfUtf8("Käyttäjällä demo on 2 viestiä"));
        Main->BtnDisconnect->trigger();
    }
    Main->close();
    EXPECT_EQ(LogLines("Password command done").size(), 2u);
    EXPECT_GT(testsupport::ReadFileBytes(dump).size(), 100u);
    std::string everything = IniText() + testsupport::ReadFileBytes(dump);
    for (const std::string& line : Log->Lines())
        everything += line + "\n";
    EXPECT_EQ(everything.find(server.Password()), std::string::npos);
}

// A command that fails, prints nothing or hangs stops the check before it
// connects, with an error box that shows what it wrote to standard error. A
// hanging one is killed with its process group at the (shortened) limit,
// while the window goes on.
TEST_F(AppTest, PasswordCommandFailures)
{
    const std::string pidFile = (Dir / "pid").string();
    const struct {
        std::string Command;
        const char* Status;
        const char* Shown; // standard error in the box
    } cases[] = {
        {"echo 'secret-tool: no such item' >&2; exit 3", "komento päättyi tilaan 3", "secret-tool: no such item"},
        {"true", "komento ei tulostanut mitään", ""},
        {"echo $$ > " + pidFile + "; echo waiting >&2; sleep 30; echo late", "komento ei päättynyt 0,3 sekunnissa, ja se lopetettiin",
         "waiting"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Command);
        WriteIni("[Account]\nHost=127.0.0.1\nPort=1\nUser=demo\nPasswordCommand=" + c.Command + "\n");
        Start();
        Main->SetPasswordCommandTimeLimit(300);
        std::string shown;
        OnNextModal([&](QWidget* modal) {
            auto* box = static_cast<QMessageBox*>(modal);
            shown = box->text().toStdString() + "|" + box->informativeText().toStdString();
            box->accept();
        });
        int ticks = 0;
        QTimer ticker;
        QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
        ticker.start(20);
        Connect();
        const std::string status = AnsiOfUtf8("Salasanakomento epäonnistui: ") + AnsiOfUtf8(c.Status);
        EXPECT_EQ(Main->StatusText(), status);
        EXPECT_EQ(shown, FromAnsi(status).toStdString() + "|" + c.Shown);
        EXPECT_TRUE(LogLines("Request Done").empty());
        if (std::string(c.Status).starts_with("komento ei p")) {
            EXPECT_GE(ticks, 5);
            const pid_t group = std::stoi(testsupport::ReadFileBytes(pidFile));
            EXPECT_TRUE(QTest::qWaitFor([&] { return !GroupAlive(group); }, 2000));
        }
    }
}

// Closing the window while the command runs kills it at once and closes.
TEST_F(AppTest, ClosingDuringThePasswordCommandEndsIt)
{
    WriteIni("[Account]\nHost=127.0.0.1\nPort=1\nUser=demo\nPasswordCommand=sleep 30\n");
    Start();
    QTimer::singleShot(100, [&] { Main->close(); });
    QElapsedTimer clock;
    clock.start();
    Connect();
    EXPECT_LT(clock.elapsed(), 5000);
    EXPECT_FALSE(Main->isVisible());
    EXPECT_TRUE(LogLines("Request Done").empty());
}

// An OAuth2 account: the token comes from a command, for XOAUTH2 and
// OAUTHBEARER against Dovecot's oauth2 passdb over STLS. An expired token
// is refused: the dialog opens at the command, and OK runs it again, now
// with a fresh token. No token reaches the log.
TEST_F(AppTest, OAuth2TokenFromACommand)
{
    testsupport::TokenIntrospection tokens;
    Dovecot server(2, 1, ServerTls(), tokens.Url());
    const std::filesystem::path token = Dir / "token";
    for (const char* login : {"xoauth2", "oauthbearer"}) {
        SCOPED_TRACE(login);
        std::ofstream(token) << tokens.Expired() << "\n";
        WriteIni(ServerIni(server, std::string("Login=") + login + "\nPasswordCommand=cat " + token.string() + "\n"));
        Start();
        OnNextModal([&](QWidget* modal) {
            auto& dlg = static_cast<TDlgOptionsAccount&>(*modal);
            EXPECT_EQ(dlg.focusWidget(), dlg.TxtPasswordCommand);
            EXPECT_FALSE(dlg.TxtPassword->isEnabled());
            EXPECT_EQ(Main->StatusText(), AnsiOfUtf8("Kirjautuminen epäonnistui: käyttäjätunnus tai pääsytunniste on "
                                                     "väärin tai vanhentunut (Authentication failed.)"));
            std::ofstream(token) << tokens.Valid() << "\n";
            dlg.BtnOK->click();
        });
        Connect();
        EXPECT_EQ(Main->StatusText(), AnsiOfUtf8("Käyttäjällä demo on 2 viestiä"));
        EXPECT_EQ(LogLines("> AUTH ").size(), 2u);
        for (const std::string& line : Log->Lines())
            EXPECT_EQ(line.find("ya29."), std::string::npos) << line;
    }
    EXPECT_EQ(tokens.Log().substr(tokens.Log().find('\n') + 1),
              "introspect /introspect inactive\nintrospect /introspect active\n"
              "introspect /introspect inactive\nintrospect /introspect active\n");
}

} // namespace
