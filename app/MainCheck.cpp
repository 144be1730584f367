// The check sequence (Connect): the password command, connect, CAPA, the
// login, STAT, LIST and the header fetch. The first step that fails stops
// the check, and the status bar says which step failed and why, in
// Finnish, instead of the final count (which would make a failed check look
// like an empty mailbox); the log holds the details. A login that the
// server refuses opens the account dialog, and OK there checks again.
#include "app/Main.h"

#include "app/AnsiText.h"
#include "app/MessageList.h"
#include "app/PasswordCommand.h"
#include "platform/Format.h"
#include "platform/ScopedCount.h"

#include <QAction>
#include <QMessageBox>

#include <cstdint>

namespace {

// The response codes of RFC 2449 section 8 and RFC 3206 in the status bar.
struct TCodeText {
    const char* Code;
    const char* Text; // UTF-8
};
constexpr TCodeText kResponseCodes[] = {
    {"IN-USE", "postilaatikko on toisen istunnon käytössä"},
    {"LOGIN-DELAY", "edellisestä kirjautumisesta on kulunut liian vähän aikaa"},
    {"SYS/TEMP", "palvelimella on tilapäinen häiriö, yritä myöhemmin uudelleen"},
    {"SYS/PERM", "palvelimella on pysyvä vika"},
    {"AUTH", "käyttäjätunnus tai salasana on väärin"},
};
constexpr const char* kTokenRefused = "käyttäjätunnus tai pääsytunniste on väärin tai vanhentunut";

// Closed while a request was open (the engine's Error for it).
constexpr Word kClosedWhilePending = 10004;

// What a failed step is called in the status bar (UTF-8; "%s" the host for
// the connection's steps) and in the log.
struct TStepText {
    const char* Status;
    const char* Log;
};
constexpr TStepText kSteps[] = {
    {"Salasanakomento epäonnistui", "password command"},
    {"Yhteys palvelimeen %s epäonnistui", "connect"},
    {"Palvelimen %s ominaisuuksien kysely epäonnistui", "CAPA"},
    {"Kirjautuminen epäonnistui", "login"},
    {"Postilaatikon tietojen haku epäonnistui", "STAT"},
    {"Viestiluettelon haku epäonnistui", "LIST"},
    {"Viestien otsakkeiden haku epäonnistui", "header fetch"},
};

// The text of an error line for a reader: "-ERR [IN-USE] Mailbox locked"
// gives "Mailbox locked", "-ERR Connection refused (Winsock error #10061)"
// gives "Connection refused", "-ERR ESocketException: connect: ..." gives
// "connect: ..."; the log keeps the whole line.
std::string ErrorText(std::string line)
{
    if (line.starts_with("< "))
        line.erase(0, 2);
    if (line.starts_with("-ERR"))
        line.erase(0, 4);
    line = Trim(line);
    if (line.starts_with("ESocketException: ") || line.starts_with("Pop3Exception: "))
        line.erase(0, line.find(' ') + 1);
    if (line.starts_with("[")) {
        const size_t close = line.find(']');
        if (close != std::string::npos)
            line = Trim(line.substr(close + 1));
    }
    for (const char* tail : {" (Winsock error #", " (TLS error #"}) {
        const size_t at = line.rfind(tail);
        if (at != std::string::npos && line.ends_with(")"))
            line.erase(at);
    }
    return line;
}

} // namespace

void TFrmMain::BtnConnectClick()
{
    BtnConnect->setEnabled(false);
    {
        platform::TScopedCount busy(FBusy); // see TFrmMain::closeEvent
        try {
            // A refused login asks for the account again; each OK checks
            // once more, Cancel ends it.
            for (;;) {
                DiscardSession();
                FFailure.reset();
                RunCheck();
                if (!FFailure || FCloseRequested)
                    break;
                EndFailedSession();
                if (!FFailure->LoginRefused || !EditAccount(true))
                    break;
            }
        } catch (const Pop3Exception& e) {
            QMessageBox::critical(this, QStringLiteral("Error"), FromAnsi(e.Message()));
        }
    }
    if (FFailure)
        SetStatusText(FFailure->Status);
    else
        SetStatusText(Format("K\xE4ytt\xE4j\xE4ll\xE4 %s on %d viesti\xE4",
                             {Pop3Client->UserName(), int64_t(FMessages.size())}));
    FPacer.FlushNow();
    BtnDisconnect->setEnabled(true);
    // Disconnect pressed during the fetch abandoned it; now it ends the
    // session as a press after the check would.
    if (FDisconnectRequested) {
        FDisconnectRequested = false;
        BtnDisconnectClick();
    }
}

void TFrmMain::RunCheck()
{
    const std::optional<TLoginMethod> method = LoginMethodOfValue(FAccountLogin);
    if (!method) {
        Fail(checkLogin,
             Format(AnsiOfUtf8("asetuksen Login arvo \"%s\" ei ole kirjautumistapa; valitse kirjautumistapa "
                               "postipalvelimen asetuksista"),
                    {FAccountLogin}),
             "\"" + FAccountLogin + "\" is no login method");
        return;
    }
    // A session whose QUIT the server refused is still logged in: it is
    // checked again as it is.
    if (Pop3Client->ProtocolState() == pop3Transaction) {
        AddLog("The session is still open: checking it again");
    } else {
        std::string secret = FAccountPassword;
        if (!Trim(FAccountPasswordCommand).empty() && !RunPasswordCommand(secret))
            return;
        const bool loggedIn = Connect() && AskCapabilities(*method) && LogIn(*method, secret);
        std::fill(secret.begin(), secret.end(), '\0');
        if (!loggedIn)
            return;
    }
    if (!CallStep(&TSyncPop3Cli::SyncStat)) {
        FailStep(checkStat);
        return;
    }
    if (!CallStep(&TSyncPop3Cli::SyncList)) {
        FailStep(checkList);
        return;
    }
    FetchHeaders();
}

bool TFrmMain::Connect()
{
    // A connection left over from an earlier check that is not logged in
    // (nothing can be lost on it) makes room for the new one.
    if (Pop3Client->ProtocolState() != pop3Disconnected)
        Pop3Client->Abort();
    // The trust prompt may connect once more; the check goes on with the
    // session that is connected in the end.
    if (ConnectStepDone(CallStep(&TSyncPop3Cli::SyncConnect)))
        return true;
    FailStep(checkConnect);
    return false;
}

bool TFrmMain::CallStep(bool (TSyncPop3Cli::*call)())
{
    FStepError = 0;
    FStepErrorLine.clear();
    FStepAborted = false;
    if (FCloseRequested)
        return false;
    return (Pop3Client.get()->*call)();
}

void TFrmMain::Fail(TCheckStep step, const std::string& reason, const std::string& detail, bool loginRefused)
{
    // A check that the window abandons (closing, Disconnect during the
    // fetch) has not failed.
    if (FCloseRequested || FDisconnectRequested)
        return;
    const std::string status = Format(AnsiOfUtf8(kSteps[step].Status), {FAccountHost});
    FFailure = TCheckFailure{status + ": " + reason, loginRefused};
    AddLog(std::string("Check failed at ") + kSteps[step].Log + ": " + detail);
}

// The reason, by what the step's call went through: no answer in time; a
// response code; the error line shown last (the server's or the engine's
// own); a connection that closed; the engine's error text.
void TFrmMain::FailStep(TCheckStep step)
{
    if (FStepAborted) {
        const std::string seconds = std::to_string(Pop3Client->Timeout());
        Fail(step, Format(AnsiOfUtf8("palvelin ei vastannut %s sekunnissa"), {seconds}),
             "no answer within " + seconds + " seconds");
        return;
    }
    std::string line = FStepErrorLine;
    if (line.empty() && FStepError != kClosedWhilePending && Pop3Client->LastResponse().starts_with("-ERR"))
        line = Pop3Client->LastResponse();
    // Refused by the server (its own "-ERR" is the last line, not one the
    // engine wrote), for the user's credentials rather than a state of the
    // mailbox or the server.
    const std::string code = Pop3Client->ResponseCode();
    const bool refused = step == checkLogin && line.starts_with("< -ERR") && (code.empty() || code == "AUTH");
    std::string reason;
    for (const TCodeText& known : kResponseCodes)
        if (code == known.Code) {
            const bool token = step == checkLogin && (Pop3Client->AuthMechanism() == LoginSaslName(loginXOAuth2) ||
                                                      Pop3Client->AuthMechanism() == LoginSaslName(loginOAuthBearer));
            reason = AnsiOfUtf8(code == "AUTH" && token ? kTokenRefused : known.Text);
            if (const std::string text = ErrorText(line); !text.empty())
                reason += " (" + text + ")";
        }
    if (reason.empty() && !line.empty())
        reason = ErrorText(line);
    if (reason.empty() && (FStepError == kClosedWhilePending || Pop3Client->ProtocolState() == pop3Disconnected)) {
        Fail(step, AnsiOfUtf8("palvelin katkaisi yhteyden"), "the connection was closed", refused);
        return;
    }
    if (reason.empty())
        reason = AnsiOfUtf8("virhe ") + std::to_string(FStepError);
    Fail(step, reason, line.empty() ? "error " + std::to_string(FStepError) : line, refused);
}

// A session that the check could not use ends (QUIT: nothing was deleted in
// it), and the status bar shows why the check stopped, also while the
// account dialog asks again.
void TFrmMain::EndFailedSession()
{
    if (Pop3Client->ProtocolState() != pop3Disconnected)
        Pop3Client->SyncQuit();
    // What an aborted request and the close still report must land before
    // the failure's text, which is the last word.
    platform::Application::ProcessMessages();
    SetStatusText(FFailure->Status);
    FPacer.FlushNow();
}
