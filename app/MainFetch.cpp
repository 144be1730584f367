// The check's steps after the connect that depend on "Options"/"Pipelining":
// CAPA after the banner, and the header fetch, either one SyncTopAll (its
// TOP commands pipelined when the server announces PIPELINING, RFC 2449
// section 6.6) or, with the key 0, the original TOP at a time. Also what
// the events of the check change on screen, paced to the screen's frames.
#include "app/Main.h"

#include "app/AnsiText.h"
#include "app/MessageList.h"

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
// sees PIPELINING. Not when the connect failed or was refused (the session
// is then not waiting for a login), nor when the connect has already asked
// (STARTTLS does).
void TFrmMain::AskCapabilities()
{
    if (FPipelining && !FCloseRequested && Pop3Client->ProtocolState() == pop3WaitingUser
        && Pop3Client->Capabilities().empty())
        Pop3Client->SyncCapa();
}

// The header block of every message STAT counted. Disconnect is enabled
// while it runs: pressed, it abandons the fetch as closing the window does
// (no further TOP, and never a DELE), and the session ends after it.
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
    if (FPipelining) {
        Pop3Client->SetMsgLines(0);
        Pop3Client->SyncTopAll();
        return;
    }
    for (Integer i = 1; i <= count && !FCloseRequested && !FDisconnectRequested; ++i) {
        Pop3Client->SetMsgNum(i);
        Pop3Client->SetMsgLines(0);
        Pop3Client->SyncTop();
    }
}

void TFrmMain::AbandonRequest()
{
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
