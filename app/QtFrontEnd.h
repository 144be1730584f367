// Makes the Qt event loop the program's one loop: the platform loop's
// descriptor is watched by a QSocketNotifier, so socket readiness and posted
// notifications are delivered between user-input events, and the blocking
// POP3 calls pump Qt (user input included) while they wait, without using
// the processor.
//
// A blocking call pumps after every event of its request; a busy check
// makes thousands of such passes a second, each of which would make Qt look
// at the display connection, its timers and its posted events. The front
// end lets Qt take at most one pass per kQtPassIntervalMs while the platform
// loop has work: between those passes it waits on the platform loop alone.
// A wait with nothing to do for the platform loop is a wait in Qt, so input
// is handled at once then, and within kQtPassIntervalMs otherwise.
#pragma once

#include "platform/EventLoop.h"

#include <QElapsedTimer>
#include <QObject>

class QSocketNotifier;

class TQtFrontEnd : public QObject, public platform::Application::FrontEnd {
public:
    // Milliseconds from the end of one of Qt's passes to the next while the
    // platform loop is busy.
    static constexpr int kQtPassIntervalMs = 1;

    // Installs itself as the application's front end; the destructor
    // uninstalls it. Needs the QApplication to exist.
    TQtFrontEnd();
    ~TQtFrontEnd() override;

    void ProcessEvents() override;
    void WaitForEvents(int timeoutMs) override;

private:
    void Deliver();
    // Milliseconds left until Qt's next pass is due; 0 when it is.
    int UntilQtPass() const;

    QSocketNotifier* FNotifier = nullptr;
    QElapsedTimer FSinceQtPass; // invalid before the first pass
};

// The toolkit's default report of an exception that escaped a handler: a
// message box with the program's title and the exception's text.
void ShowException(const std::exception& e);
