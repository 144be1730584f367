#include "app/FramePacer.h"

#include <QCoreApplication>
#include <QEvent>
#include <QScreen>
#include <QWidget>

#include <algorithm>
#include <cmath>

TFramePacer::TFramePacer(QWidget* window, std::function<void()> flush) : FWindow(window), FFlush(std::move(flush))
{
    FTimer.setSingleShot(true);
    // A coarse timer may fire up to 5 % late, which a frame can spare; it
    // never fires early.
    FTimer.setTimerType(Qt::CoarseTimer);
    QObject::connect(&FTimer, &QTimer::timeout, [this] { FlushNow(); });
}

int TFramePacer::FrameMs() const
{
    const QScreen* screen = FWindow ? FWindow->screen() : nullptr;
    const double hz = screen && screen->refreshRate() > 1 ? screen->refreshRate() : 60.0;
    return std::clamp(int(std::ceil(1000.0 / hz)), 4, 50);
}

int TFramePacer::IntervalMs() const
{
    const qint64 byCost = (kCostShare * FCostNs + 999'999) / 1'000'000;
    return int(std::clamp<qint64>(byCost, FrameMs(), kMaxIntervalMs));
}

void TFramePacer::Request()
{
    if (FTimer.isActive())
        return;
    const qint64 since = FSinceFlush.isValid() ? FSinceFlush.elapsed() : INT64_MAX;
    const int interval = IntervalMs();
    FTimer.start(since >= interval ? 0 : int(interval - since));
}

void TFramePacer::FlushNow()
{
    FTimer.stop();
    QElapsedTimer cost;
    cost.start();
    FFlush();
    // What the flush changed is painted now rather than from the next pass
    // of the loop, so that its cost is known (the paint that the loop would
    // make then finds nothing left to do).
    if (FWindow && FWindow->isVisible()) {
        QEvent update(QEvent::UpdateRequest);
        QCoreApplication::sendEvent(FWindow->window(), &update);
    }
    FCostNs = cost.nsecsElapsed();
    FSinceFlush.start();
}
