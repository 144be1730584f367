#include "app/Images.h"

#include <QPainter>
#include <QPainterPath>

namespace {

constexpr int kImageSize = 18;

// A closed envelope in the given rectangle.
void DrawEnvelope(QPainter& p, const QRectF& r)
{
    p.setPen(QPen(QColor(70, 70, 90), 1));
    p.setBrush(QColor(250, 246, 225));
    p.drawRect(r);
    QPainterPath flap;
    flap.moveTo(r.topLeft());
    flap.lineTo(r.center().x(), r.top() + r.height() * 0.6);
    flap.lineTo(r.topRight());
    p.setBrush(Qt::NoBrush);
    p.drawPath(flap);
}

// Two plug halves, joined (connect) or apart with a red cross (disconnect).
void DrawPlug(QPainter& p, bool joined)
{
    const qreal gap = joined ? 0 : 3;
    p.setPen(QPen(QColor(40, 40, 40), 1));
    p.setBrush(QColor(60, 150, 60));
    p.drawRect(QRectF(1.5, 6.5, 6 - gap, 5));
    p.drawRect(QRectF(10.5 + gap, 6.5, 6 - gap, 5));
    p.setPen(QPen(QColor(40, 40, 40), 1.5));
    p.drawLine(QPointF(7.5 - gap, 8), QPointF(10.5 + gap, 8));
    p.drawLine(QPointF(7.5 - gap, 10), QPointF(10.5 + gap, 10));
    if (!joined) {
        p.setPen(QPen(QColor(200, 30, 30), 2));
        p.drawLine(QPointF(6, 2), QPointF(12, 16));
        p.drawLine(QPointF(12, 2), QPointF(6, 16));
    }
}

void DrawDelete(QPainter& p)
{
    DrawEnvelope(p, QRectF(1.5, 3.5, 13, 9));
    p.setPen(QPen(QColor(200, 30, 30), 2.2));
    p.drawLine(QPointF(10, 9), QPointF(16.5, 16.5));
    p.drawLine(QPointF(16.5, 9), QPointF(10, 16.5));
}

} // namespace

QPixmap ToolbarImage(TToolbarImage image)
{
    QPixmap pixmap(kImageSize, kImageSize);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    switch (image) {
    case TToolbarImage::Connect:
        DrawPlug(p, true);
        break;
    case TToolbarImage::Disconnect:
        DrawPlug(p, false);
        break;
    case TToolbarImage::Delete:
        DrawDelete(p);
        break;
    }
    return pixmap;
}

QIcon ProgramIcon()
{
    QIcon icon;
    for (int size : {16, 32}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter p(&pixmap);
        p.setRenderHint(QPainter::Antialiasing);
        p.scale(size / 18.0, size / 18.0);
        DrawEnvelope(p, QRectF(1.5, 4.5, 15, 10));
        p.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}
