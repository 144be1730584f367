// The login of a check: the password command that gives the password (or
// the OAuth2 token), the method "Login" names or "auto" chooses from what
// the server offers, and the login itself. A method the server does not
// offer, and "auto" on a connection in the clear where every offer would
// send the password readable, stop the check before anything secret is
// sent.
#include "app/Main.h"

#include "app/AnsiText.h"
#include "app/PasswordCommand.h"
#include "platform/Format.h"

#include <QMessageBox>

namespace {

// Seconds, with a decimal comma when the limit is not whole seconds.
std::string SecondsText(int milliseconds)
{
    std::string text = std::to_string(milliseconds / 1000);
    if (const int rest = milliseconds % 1000; rest != 0)
        text += "," + std::to_string(rest / 100) + (rest % 100 != 0 ? std::to_string(rest % 100 / 10) : "");
    return text;
}

} // namespace

void TFrmMain::SetPasswordCommandTimeLimit(int milliseconds)
{
    if (!FPasswordCommand->Running())
        FPasswordCommand = std::make_unique<TPasswordCommand>(milliseconds);
}

// Runs the command and hands its first line over in secret. A failure ends
// the check with an error box that shows what the command wrote to its
// standard error; its standard output never goes anywhere but the login.
bool TFrmMain::RunPasswordCommand(std::string& secret)
{
    AddLog("Running the password command");
    SetStatusText("Running the password command");
    TPasswordCommand& command = *FPasswordCommand;
    const TPasswordCommandResult result = command.Run(FAccountPasswordCommand);
    if (result == cmdOk) {
        secret = command.TakeSecret();
        AddLog("Password command done");
        return true;
    }
    std::string reason, detail;
    const std::string code = std::to_string(command.ExitCode());
    switch (result) {
    case cmdOk:
        break;
    case cmdNotStarted:
        reason = AnsiOfUtf8("/bin/sh ei käynnistynyt");
        detail = "/bin/sh did not start";
        break;
    case cmdExitStatus:
        reason = AnsiOfUtf8("komento päättyi tilaan ") + code;
        detail = "exit status " + code;
        break;
    case cmdSignal:
        reason = AnsiOfUtf8("komento päättyi signaaliin ") + code;
        detail = "ended by signal " + code;
        break;
    case cmdNoOutput:
        reason = AnsiOfUtf8("komento ei tulostanut mitään");
        detail = "nothing printed";
        break;
    case cmdLineTooLong:
        reason = AnsiOfUtf8("komennon tulosteen ensimmäinen rivi on liian pitkä");
        detail = "first line longer than " + std::to_string(TPasswordCommand::kMaxSecretBytes) + " bytes";
        break;
    case cmdTimedOut:
        reason = Format(AnsiOfUtf8("komento ei päättynyt %s sekunnissa, ja se lopetettiin"),
                        {SecondsText(command.TimeLimitMs())});
        detail = "still running after " + std::to_string(command.TimeLimitMs()) + " ms: killed";
        break;
    case cmdCancelled:
        reason = AnsiOfUtf8("komento keskeytettiin");
        detail = "cancelled";
        break;
    }
    Fail(checkCommand, reason, detail);
    if (!FFailure)
        return false; // the window is closing
    QMessageBox box(QMessageBox::Critical, QString::fromUtf8("Salasanakomento"), FromAnsi(FFailure->Status),
                    QMessageBox::Ok, this);
    if (!command.ErrorOutput().empty())
        box.setInformativeText(QString::fromLocal8Bit(command.ErrorOutput()).trimmed());
    box.exec();
    return false;
}

bool TFrmMain::LogIn(TLoginMethod method, const std::string& secret)
{
    TSyncPop3Cli& client = *Pop3Client;
    const TLoginOffers offers{!client.Capabilities().empty(), client.HasCapability("USER"),
                              !client.ApopTimeStamp().empty(), client.SaslMechanisms()};
    const std::string offered = LoginOffersText(offers);
    const std::string offeredText = offered.empty() ? AnsiOfUtf8("se ei ilmoita yhtään kirjautumistapaa")
                                                    : AnsiOfUtf8("se tarjoaa: ") + offered;
    const bool encrypted = client.TlsActive();
    if (method == loginAuto) {
        const std::optional<TLoginMethod> chosen = ChooseLogin(offers, encrypted);
        if (!chosen) {
            if (!encrypted && ChooseLogin(offers, true))
                Fail(checkLogin,
                     AnsiOfUtf8("yhteys ei ole salattu, eikä automaattinen kirjautuminen lähetä salasanaa "
                                "selväkielisenä (palvelin tarjoaa: ") + offered +
                         AnsiOfUtf8("). Ota salaus käyttöön tai valitse kirjautumistavaksi "
                                    "\"Salasana (USER/PASS)\""),
                     "auto sends no password over a connection without TLS; the server offers " + offered);
            else
                Fail(checkLogin, AnsiOfUtf8("palvelin ei tarjoa yhtään tuettua kirjautumistapaa (") + offeredText + ")",
                     "the server offers no login method that auto takes: " + (offered.empty() ? "none" : offered));
            return false;
        }
        method = *chosen;
        AddLog("Login with " + LoginMethodName(method) + " (chosen automatically)");
    } else if (!LoginOffered(method, offers)) {
        Fail(checkLogin,
             Format(AnsiOfUtf8("palvelin ei tarjoa kirjautumistapaa %s (%s)"), {LoginMethodName(method), offeredText}),
             "the server does not offer " + LoginMethodName(method) + "; it offers " +
                 (offered.empty() ? "none" : offered));
        return false;
    }
    if (!encrypted)
        AddLog(LoginSendsSecret(method)
                   ? "Connection is not encrypted: the password is sent in the clear"
                   : "Connection is not encrypted: " + LoginMethodName(method) + " does not send the password");

    client.SetPassWord(secret);
    client.SetAuthMechanism(LoginSaslName(method) ? LoginSaslName(method) : "");
    bool ok = false;
    if (LoginSaslName(method))
        ok = CallStep(&TSyncPop3Cli::SyncAuth);
    else if (method == loginApop)
        ok = CallStep(&TSyncPop3Cli::SyncAPop);
    else
        ok = CallStep(&TSyncPop3Cli::SyncUser) && CallStep(&TSyncPop3Cli::SyncPass);
    // The secret stays in the client only for the login.
    client.SetPassWord(FAccountPassword);
    if (!ok)
        FailStep(checkLogin);
    return ok;
}
