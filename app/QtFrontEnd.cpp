#include "app/QtFrontEnd.h"

#include "app/AnsiText.h"

#include <QCoreApplication>
#include <QMessageBox>
#include <QSocketNotifier>
#include <QTimer>

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

void TQtFrontEnd::ProcessEvents()
{
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void TQtFrontEnd::WaitForEvents(int timeoutMs)
{
    if (timeoutMs == 0) {
        ProcessEvents();
        return;
    }
    // processEvents with WaitForMoreEvents sleeps in the system until
    // something arrives; the timer is that something when nothing else is.
    QTimer deadline;
    if (timeoutMs > 0) {
        deadline.setSingleShot(true);
        deadline.start(timeoutMs);
    }
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
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
