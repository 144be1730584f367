// Paces the updates of a window to the screen: changes are gathered by the
// window and handed to the widgets by one flush, which runs at most once per
// frame of the screen the window is on. Between flushes nothing is marked
// for repainting, so a burst of events (a row, a log line and a status text
// per message) costs the toolkit one relayout and one repaint per frame, not
// one per event.
//
// The window is painted right after each flush, and the time both took is
// the measure of the next wait: a flush follows the last one after a frame,
// or after kCostShare times its cost when that is longer (a list of many
// thousand rows lays all of them out anew for every insertion), so that
// updating a window takes at most about 1 / kCostShare of the time (the
// main window and the log window together a tenth), and never more often
// than the screen can show.
#pragma once

#include <QElapsedTimer>
#include <QTimer>

#include <functional>

class QWidget;

class TFramePacer {
public:
    static constexpr qint64 kCostShare = 20;
    static constexpr int kMaxIntervalMs = 500;

    // The frame follows the refresh rate of the screen that window is on
    // (60 Hz when it has none), kept within 4 to 50 ms.
    TFramePacer(QWidget* window, std::function<void()> flush);

    // Asks for a flush; several requests before it runs make one.
    void Request();
    // Runs the flush and paints the window now, pending or not: for a state
    // that must be on screen, or read back, at once.
    void FlushNow();
    int FrameMs() const;
    // Milliseconds a flush waits for after the last one.
    int IntervalMs() const;

private:
    QWidget* FWindow;
    std::function<void()> FFlush;
    QTimer FTimer;
    QElapsedTimer FSinceFlush; // invalid until the first flush
    qint64 FCostNs = 0;        // of the last flush and paint
};
