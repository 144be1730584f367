// The check's steps after the connect that depend on "Options"/"Pipelining":
// CAPA after the banner, and the header fetch, either one SyncTopAll (its
// TOP commands pipelined when the server announces PIPELINING, RFC 2449
// section 6.6) or, with the key 0, the original TOP at a time. Also what
// the events of the check change on screen, paced to the screen's frames.
#include "app/Main.h"

#include "app/AnsiText.h"
#include "app/MessageList.h"
#include "app/PasswordCommand.h"

#include <QAction>
#include <QLabel>
#include <QProgressBar>

#include <utility>

namespace {

// Runs a cleanup on every way out of a scope, exceptions included.
template <typename F>
class TOnExit {
public:
    explicit TOnExit(F f) : FAction(std::move(f)) {}
    ~TOnExit() { FAction(); }
    TOnExit(const TOnExit&) = delete;
    TOnExit& operator=(const TOnExit&) = delete;

private:
    F FAction;
};

} // namespace

// CAPA once the connect has succeeded (after the banner, and after the
// trust prompt's second connect when there was one), so that SyncTopAll
// sees PIPELINING and the login sees the SASL mechanisms. Not when the
// connect has already asked (STARTTLS does), nor with "Pipelining" 0 and
// the login "user", which make the original sequence. A server that
// refuses CAPA (RFC 1939 alone) is checked all the same; one that drops
// the session on the way stops the check.
bool TFrmMain::AskCapabilities(TLoginMethod method)
{
    if ((!FPipelining && method == loginUser) || !Pop3Client->Capabilities().empty())
        return true;
    if (CallStep(&TSyncPop3Cli::SyncCapa) || Pop3Client->ProtocolState() == pop3WaitingUser)
        return true;
    FailStep(checkCapa);
    return false;
}

// The header block of every message STAT counted. Disconnect is enabled
// while it runs: pressed, it abandons the fetch as closing the window does
// (no further TOP, and never a DELE), and the session ends after it. A
// message the server refuses to show is left out; a session lost on the
// way (a time-out, a close) stops the check.
void TFrmMain::FetchHeaders()
{
    const Integer count = FStatCount;
    if (count <= 0 || FCloseRequested)
        return;
    FFetching = true;
    FFetched = 0;
    BtnDisconnect->setEnabled(true);
    TOnExit done([this] {
        FFetching = false;
        BtnDisconnect->setEnabled(false);
        FPacer.Request();
    });
    FPacer.Request();
    const auto lost = [this] { return FStepAborted || Pop3Client->ProtocolState() != pop3Transaction; };
    if (FPipelining) {
        Pop3Client->SetMsgLines(0);
        if (!CallStep(&TSyncPop3Cli::SyncTopAll) && lost())
            FailStep(checkHeaders);
        return;
    }
    for (Integer i = 1; i <= count && !FCloseRequested && !FDisconnectRequested; ++i) {
        Pop3Client->SetMsgNum(i);
        Pop3Client->SetMsgLines(0);
        if (!CallStep(&TSyncPop3Cli::SyncTop) && lost()) {
            FailStep(checkHeaders);
            return;
        }
    }
}

void TFrmMain::AbandonRequest()
{
    FPasswordCommand->Cancel();
    try {
        if (Pop3Client->State() != pop3Ready)
            Pop3Client->Abort();
    } catch (const Pop3Exception&) {
        // Nothing left to abandon.
    }
}

std::string TFrmMain::ProgressText() const
{
    return FProgress->isVisible() ? ToAnsi(FProgress->text()) : std::string();
}

// Hands what changed since the last frame to the widgets: the rows that
// arrived (one insertion, one relayout), the status text and the progress.
void TFrmMain::FlushView()
{
    if (!FNewRows.empty())
        LvwMessages->AddRows(FNewRows);
    const QString status = FromAnsi(FStatusText);
    if (FStatusLabel->text() != status)
        FStatusLabel->setText(status);
    if (FFetching) {
        FProgress->setRange(0, int(FStatCount));
        FProgress->setValue(int(FFetched));
        FProgress->show();
    } else {
        FProgress->hide();
    }
}
