// The account's security as the user meets it: the settings keys and what an
// old file keeps, the dialog's "Salaus" choice, a check over STLS and POP3S
// against Dovecot, the warning for a check in the clear, the trust prompt
// for a certificate that fails verification, and the pipelined check's CAPA
// over TLS.
#include "tests/app/AppFixture.h"
#include "tests/support/TlsServer.h"

#include "app/TrustPrompt.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>

#include <algorithm>

namespace {

using testsupport::Dovecot;
using testsupport::TestPki;

const char* const kWarning = "Connection is not encrypted: the password is sent in the clear";

testsupport::DovecotTls TlsFiles(const std::string& cert)
{
    const TestPki& pki = TestPki::Get();
    return {pki.Cert(cert), pki.Key(cert), pki.Dir + "/dh.pem"};
}

// What a file says, what the client then does, and what closing writes
// back to [Account]: a file without the new keys gains none of them.
TEST_F(AppTest, SecurityKeysAndWhatAnOldFileKeeps)
{
    const struct {
        const char* Account; // the [Account] section as written
        TPop3Security Security;
        const char* CaFile;
        const char* Saved; // [Account] after closing
    } cases[] = {
        {"Host=h\nPort=995\nUser=u\n", pop3SecTls, "", "Host=h\nPort=995\nUser=u\n"},
        {"Host=h\nPort=pop3s\nUser=u\n", pop3SecTls, "", "Host=h\nPort=pop3s\nUser=u\n"},
        {"Host=h\nPort=110\nUser=u\n", pop3SecNone, "", "Host=h\nPort=110\nUser=u\n"},
        {"Host=h\nPort=110\nUser=u\nSecurity=STARTTLS\n", pop3SecStartTls, "",
         "Host=h\nPort=110\nUser=u\nSecurity=starttls\n"},
        {"Host=h\nPort=995\nUser=u\nSecurity=none\nCaFile=/x/ca.pem\nCertificatePin=AB:CD\n", pop3SecNone,
         "/x/ca.pem", "Host=h\nPort=995\nUser=u\nSecurity=none\nCaFile=/x/ca.pem\nCertificatePin=AB:CD\n"},
        {"Host=h\nPort=110\nUser=u\nSecurity=ssl\n", pop3SecNone, "", "Host=h\nPort=110\nUser=u\nSecurity=ssl\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Account);
        WriteIni(std::string("[Account]\n") + c.Account);
        Start();
        EXPECT_EQ(Main->Pop3Client->Security(), c.Security);
        EXPECT_EQ(Main->Pop3Client->TlsCaFile(), c.CaFile);
        Main->close();
        EXPECT_EQ(IniText(), std::string("[Account]\n") + c.Saved + "[Options]\nShowLog=0\n");
    }
}

// The choice sits below the port (the dialog grew by a row for it, and by
// two for the login choice and the password command), Tab and the
// accelerators reach every field in order (Alt+S goes to "Salaus" first,
// then to "Salasana"), and choosing offers the choice's usual port. OK
// stores a choice that the port alone would not imply.
TEST_F(AppTest, SecurityChoiceInTheDialog)
{
    WriteIni("[Account]\nHost=h\nPort=110\nUser=u\n");
    Start();
    RunDialog([](TDlgOptionsAccount& dlg) {
        EXPECT_EQ(dlg.size(), QSize(384, 261));
        EXPECT_EQ(dlg.CmbSecurity->geometry().top(), dlg.TxtPort->geometry().top() + 32);
        EXPECT_EQ(dlg.CmbSecurity->currentText(), "Ei salausta");
        std::string order;
        dlg.TxtHost->setFocus();
        for (int i = 0; i < 6; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            order += QApplication::focusWidget()->objectName().toStdString() + " ";
        }
        EXPECT_EQ(order, "TxtPort CmbSecurity TxtUser CmbLogin TxtPassword TxtPasswordCommand ");
        std::string keys;
        for (Qt::Key key : {Qt::Key_O, Qt::Key_S, Qt::Key_S, Qt::Key_K, Qt::Key_P}) {
            QTest::keyClick(&dlg, key, Qt::AltModifier);
            keys += QApplication::focusWidget()->objectName().toStdString() + " ";
        }
        EXPECT_EQ(keys, "TxtPort CmbSecurity TxtPassword TxtUser TxtHost ");

        const struct {
            const char* Port;
            int Choice;
            const char* Offered;
        } offers[] = {{"110", 1, "995"}, {"", 1, "995"}, {"2110", 1, "2110"}, {"995", 0, "110"},
                      {"995", 2, "110"}, {"", 2, ""}, {"pop3s", 0, "110"}};
        for (const auto& o : offers) {
            dlg.TxtPort->setText(o.Port);
            dlg.CmbSecurity->setCurrentIndex(o.Choice == 0 ? 1 : 0);
            emit dlg.CmbSecurity->activated(o.Choice);
            EXPECT_EQ(dlg.TxtPort->text().toStdString(), o.Offered) << o.Port << " " << o.Choice;
        }
        dlg.TxtPort->setText("110");
        dlg.CmbSecurity->setCurrentIndex(2);
    }, Qt::Key_Return);
    EXPECT_EQ(Main->AccountSecurity(), pop3SecStartTls);
    EXPECT_EQ(Main->Pop3Client->Security(), pop3SecStartTls);
    Main->close();
    EXPECT_NE(IniText().find("Security=starttls\n"), std::string::npos) << IniText();
}

// A check in the clear warns in the log; over STLS (with the CA from the
// settings) the log shows the handshake instead, and the rows are the same.
TEST_F(AppTest, ChecksOverStlsAndPop3sShowTheHandshakeNotTheWarning)
{
    Dovecot server(3, 1, TlsFiles("server"));
    std::vector<std::string> rows;
    for (const char* security : {"none", "starttls", "tls"}) {
        SCOPED_TRACE(security);
        const bool tls = std::string(security) == "tls";
        WriteIni("[Account]\nHost=localhost\nPort=" + (tls ? server.TlsPortText() : server.PortText()) +
                 "\nUser=demo\nSecurity=" + security + "\nCaFile=" + TestPki::Get().Cert("ca") + "\n");
        Start();
        Connect();
        const bool plain = std::string(security) == "none";
        EXPECT_EQ(LogLines(kWarning).size(), plain ? 1u : 0u);
        EXPECT_EQ(LogLines("TLS 1.3, TLS_").size(), plain ? 0u : 1u);
        if (rows.empty())
            rows = Rows();
        EXPECT_EQ(Rows(), rows);
        EXPECT_EQ(rows.size(), 3u);
    }
}

// A self-signed certificate: the prompt shows why and what, in Finnish.
// Cancel leaves the check failed and nothing stored; trust stores the
// fingerprint as CertificatePin and checks again, now successfully, and the
// next start needs no prompt.
TEST_F(AppTest, TrustPromptAnswersAndThePinInTheSettings)
{
    Dovecot server(2, 1, TlsFiles("selfsigned"));
    const std::string fingerprint = TestPki::Get().Fingerprint("selfsigned");
    WriteIni("[Account]\nHost=localhost\nPort=" + server.TlsPortText() + "\nUser=demo\nSecurity=tls\n");
    for (bool trust : {false, true}) {
        SCOPED_TRACE(trust ? "trust" : "cancel");
        Start();
        int prompts = 0;
        OnNextModal([&](QWidget* modal) {
            ++prompts;
            auto* prompt = dynamic_cast<TDlgTrustCertificate*>(modal);
            ASSERT_TRUE(prompt);
            EXPECT_EQ(prompt->windowTitle(), QString::fromUtf8("Varmenteeseen ei luoteta"));
            EXPECT_EQ(prompt->LblReason->text(),
                      QString::fromUtf8("Palvelimen localhost varmenteen tarkistus epäonnistui: "
                                        "varmenteen myöntäjä ei ole luotettu varmentaja."));
            EXPECT_EQ(prompt->LblSubject->text(), "CN=localhost,O=Quillbox Test");
            EXPECT_EQ(prompt->LblIssuer->text(), "CN=localhost,O=Quillbox Test");
            EXPECT_EQ(prompt->LblFingerprint->text().toStdString(), fingerprint);
            EXPECT_EQ(prompt->LblValidity->text().size(), 49);
            (trust ? prompt->BtnTrust : prompt->BtnCancel)->click();
        });
        Connect();
        EXPECT_EQ(prompts, 1);
        EXPECT_EQ(Rows().size(), trust ? 2u : 0u);
        EXPECT_EQ(LogLines("-ERR certificate is not trusted (self-signed certificate)").size(), 1u);
        EXPECT_EQ(LogLines("Certificate trusted by the user").size(), trust ? 1u : 0u);
        Main->close();
        EXPECT_EQ(IniText().find("CertificatePin=" + fingerprint + "\n") != std::string::npos, trust) << IniText();
    }
    // The pin from the file: no prompt, the check goes through.
    Start();
    Connect();
    EXPECT_EQ(Rows().size(), 2u);
    EXPECT_TRUE(LogLines("-ERR").empty());
    EXPECT_NE(LogLines("TLS 1.3, TLS_").front().find("trusted by its pinned fingerprint"), std::string::npos);
}

// The pipelined check over TLS: CAPA goes to the session that is connected
// in the end, after its handshake, and once. STARTTLS asks inside the
// connect (CAPA, STLS, CAPA), so the check asks nothing more; over POP3S the
// check asks after the handshake. After the trust prompt the connect is
// made again and the new session is asked. Then the three TOP commands go
// out together, before the first reply (which the log would show between).
TEST_F(AppTest, PipelinedCheckOverTlsAsksForCapabilitiesOnceItIsConnected)
{
    const std::vector<std::string> fetch = {"> USER demo", "> PASS ********", "> STAT", "> LIST",
                                            "> TOP 1 0",   "> TOP 2 0",       "> TOP 3 0"};
    const struct {
        const char* Security;
        const char* Cert; // the server's; "selfsigned" is trusted at the prompt
        std::vector<std::string> Steps; // up to the login
    } cases[] = {
        {"starttls", "server", {"> CAPA", "> STLS", "TLS", "> CAPA"}},
        {"starttls", "selfsigned", {"> CAPA", "> STLS", "trusted", "> CAPA", "> STLS", "TLS", "> CAPA"}},
        {"tls", "selfsigned", {"trusted", "TLS", "> CAPA"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.Security) + " " + c.Cert);
        Dovecot server(3, 1, TlsFiles(c.Cert));
        const bool tls = std::string(c.Security) == "tls";
        WriteIni("[Account]\nHost=localhost\nPort=" + (tls ? server.TlsPortText() : server.PortText()) +
                 "\nUser=demo\nSecurity=" + c.Security + "\nCaFile=" + TestPki::Get().Cert("ca") + "\n");
        Start();
        if (std::string(c.Cert) == "selfsigned")
            OnNextModal([](QWidget* modal) { dynamic_cast<TDlgTrustCertificate&>(*modal).BtnTrust->click(); });
        Connect();
        std::vector<std::string> steps;
        for (const std::string& line : LogLines())
            if (line.starts_with("> "))
                steps.push_back(line);
            else if (line.starts_with("TLS 1."))
                steps.push_back("TLS");
            else if (line.starts_with("Certificate trusted by the user"))
                steps.push_back("trusted");
        std::vector<std::string> expected = c.Steps;
        expected.insert(expected.end(), fetch.begin(), fetch.end());
        EXPECT_EQ(steps, expected);
        const std::vector<std::string> log = LogLines();
        const auto top = std::find(log.begin(), log.end(), "> TOP 1 0");
        ASSERT_GE(log.end() - top, 3);
        EXPECT_EQ(std::vector<std::string>(top, top + 3), std::vector<std::string>(fetch.end() - 3, fetch.end()));
        EXPECT_EQ(LogLines("Request Done").back(), "Request Done Rq=" + std::to_string(int(pop3TopAll)) + " Error=0");
        EXPECT_EQ(Rows().size(), 3u);
    }
}

} // namespace
