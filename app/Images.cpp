#include "app/Images.h"

#include <QPainter>
#include <QPainterPath>

#include <vector>

namespace {

constexpr int kImageSize = 18;

// One outlined shape of a picture, stroked with flat caps and mitred joins
// (crisp corners at every size) and filled unless Fill is invalid. Pictures
// that also leave the program as SVG are lists of these, so that the window
// and the file draw the same.
struct TFigure {
    QPainterPath Path;
    QColor Stroke;
    qreal StrokeWidth = 1;
    QColor Fill;
};
using TFigures = std::vector<TFigure>;

void DrawFigures(QPainter& p, const TFigures& figures)
{
    for (const TFigure& figure : figures) {
        p.setPen(QPen(figure.Stroke, figure.StrokeWidth, Qt::SolidLine, Qt::FlatCap, Qt::MiterJoin));
        p.setBrush(figure.Fill.isValid() ? QBrush(figure.Fill) : QBrush(Qt::NoBrush));
        p.drawPath(figure.Path);
    }
}

// A closed envelope in the given rectangle: its body, then the flap.
TFigures EnvelopeFigures(const QRectF& r)
{
    const QColor ink(70, 70, 90);
    QPainterPath body;
    body.addRect(r);
    QPainterPath flap;
    flap.moveTo(r.topLeft());
    flap.lineTo(r.center().x(), r.top() + r.height() * 0.6);
    flap.lineTo(r.topRight());
    return {{body, ink, 1, QColor(250, 246, 225)}, {flap, ink, 1, QColor()}};
}

void DrawEnvelope(QPainter& p, const QRectF& r)
{
    DrawFigures(p, EnvelopeFigures(r));
}

// The program icon in the 18 x 18 box of the toolbar images.
TFigures ProgramIconFigures()
{
    return EnvelopeFigures(QRectF(1.5, 4.5, 15, 10));
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
    for (int size : {16, 32})
        icon.addPixmap(QPixmap::fromImage(ProgramIconImage(size)));
    return icon;
}

QImage ProgramIconImage(int size)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / qreal(kImageSize), size / qreal(kImageSize));
    DrawFigures(p, ProgramIconFigures());
    return image;
}

namespace {

QByteArray SvgNumber(qreal value)
{
    return QByteArray::number(value, 'g', 6);
}

// A colour as SVG paint attributes: "#rrggbb", plus its opacity unless opaque.
QByteArray SvgPaint(const char* name, const QColor& color)
{
    QByteArray text = QByteArray(" ") + name + "=\"" + color.name().toLatin1() + "\"";
    if (color.alpha() != 255)
        text += QByteArray(" ") + name + "-opacity=\"" + SvgNumber(color.alphaF()) + "\"";
    return text;
}

// Path data of an outline. A subpath that ends where it began is closed
// ("Z"), as QPainter strokes it: with a join at that corner, not two caps.
QByteArray SvgPathData(const QPainterPath& path)
{
    QByteArray d;
    auto point = [](const QPointF& p) { return SvgNumber(p.x()) + " " + SvgNumber(p.y()); };
    QPointF start;
    int count = path.elementCount();
    for (int i = 0; i < count; ++i) {
        const QPainterPath::Element e = path.elementAt(i);
        if (e.isMoveTo()) {
            start = e;
            d += (d.isEmpty() ? "M" : " M") + point(e);
        } else if (e.isLineTo()) {
            d += " L" + point(e);
        } else if (e.isCurveTo() && i + 2 < count) {
            d += " C" + point(e) + " " + point(path.elementAt(i + 1)) + " " + point(path.elementAt(i + 2));
            i += 2;
        }
        const bool subpathEnds = i + 1 == count || path.elementAt(i + 1).isMoveTo();
        if (subpathEnds && !e.isMoveTo() && QPointF(path.elementAt(i)) == start)
            d += " Z";
    }
    return d;
}

QByteArray SvgFigure(const TFigure& figure)
{
    return "  <path d=\"" + SvgPathData(figure.Path) + "\""
           + (figure.Fill.isValid() ? SvgPaint("fill", figure.Fill) : QByteArray(" fill=\"none\""))
           + SvgPaint("stroke", figure.Stroke) + " stroke-width=\"" + SvgNumber(figure.StrokeWidth)
           // QPen's miter limit is 2, SVG's default 4.
           + "\" stroke-linecap=\"butt\" stroke-linejoin=\"miter\" stroke-miterlimit=\"2\"/>\n";
}

} // namespace

QByteArray ProgramIconSvg()
{
    QByteArray svg = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                     "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"18\" height=\"18\" viewBox=\"0 0 18 18\">\n";
    for (const TFigure& figure : ProgramIconFigures())
        svg += SvgFigure(figure);
    return svg + "</svg>\n";
}
