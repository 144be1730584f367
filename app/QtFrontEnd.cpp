#include "app/QtFrontEnd.h"

#include "app/AnsiText.h"

#include <QCoreApplication>
#include <QMessageBox>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>

TQtFrontEnd::TQtFrontEnd()
{
    FNotifier = new QSocketNotifier(platform::EventLoop::Descriptor(), QSocketNotifier::Read, this);
    connect(FNotifier, &QSocketNotifier::activated, this, [this] { Deliver(); });
    platform::Application::SetFrontEnd(this);
}

TQtFrontEnd::~TQtFrontEnd()
{
    platform::Application::SetFrontEnd(nullptr);
}

int TQtFrontEnd::UntilQtPass() const
{
    if (!FSinceQtPass.isValid())
        return 0;
    const qint64 since = FSinceQtPass.elapsed();
    return since >= kQtPassIntervalMs ? 0 : int(kQtPassIntervalMs - since);
}

// The caller (Application::ProcessMessages) delivers the platform loop's
// notifications itself after this.
void TQtFrontEnd::ProcessEvents()
{
    if (UntilQtPass() > 0)
        return;
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    FSinceQtPass.start();
}

void TQtFrontEnd::WaitForEvents(int timeoutMs)
{
    if (timeoutMs == 0) {
        ProcessEvents();
        return;
    }
    // Qt had its pass a moment ago: wait for the platform loop's next event
    // until the next pass is due, without Qt.
    if (const int untilQt = UntilQtPass(); untilQt > 0) {
        platform::EventLoop::Wait(timeoutMs < 0 ? untilQt : std::min(timeoutMs, untilQt));
        return;
    }
    // processEvents with WaitForMoreEvents sleeps in the system until
    // something arrives; the timer is that something when nothing else is
    // (one per wait: a handler run by this pass may wait in turn).
    QTimer deadline;
    if (timeoutMs > 0) {
        deadline.setSingleShot(true);
        deadline.start(timeoutMs);
    }
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    FSinceQtPass.start();
}

void TQtFrontEnd::Deliver()
{
    // An exception must not cross Qt's event dispatch.
    try {
        platform::EventLoop::ProcessPending();
    } catch (const std::exception& e) {
        ShowException(e);
    }
}

void ShowException(const std::exception& e)
{
    QMessageBox::critical(nullptr, QCoreApplication::applicationName(), FromAnsi(e.what()));
}
