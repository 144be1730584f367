// Makes the Qt event loop the program's one loop: the platform loop's
// descriptor is watched by a QSocketNotifier, so socket readiness and posted
// notifications are delivered between user-input events, and the blocking
// POP3 calls pump Qt (user input included) while they wait, without using
// the processor.
#pragma once

#include "platform/EventLoop.h"

#include <QObject>

class QSocketNotifier;

class TQtFrontEnd : public QObject, public platform::Application::FrontEnd {
public:
    // Installs itself as the application's front end; the destructor
    // uninstalls it. Needs the QApplication to exist.
    TQtFrontEnd();
    ~TQtFrontEnd() override;

    void ProcessEvents() override;
    void WaitForEvents(int timeoutMs) override;

private:
    void Deliver();

    QSocketNotifier* FNotifier = nullptr;
};

// The toolkit's default report of an exception that escaped a handler: a
// message box with the program's title and the exception's text.
void ShowException(const std::exception& e);
