#include "app/Log.h"

#include "app/AnsiText.h"

#include <QHBoxLayout>
#include <QPlainTextEdit>
#include <QShowEvent>

namespace {
constexpr int kOuterWidth = 361;
constexpr int kOuterHeight = 198;
} // namespace

TFrmLog::TFrmLog(QWidget* parent) : QWidget(parent, Qt::Window)
{
    setWindowTitle(QStringLiteral("Loki"));
    move(304, 361);
    resize(kOuterWidth, kOuterHeight);

    TxtLog = new QPlainTextEdit(this);
    TxtLog->setObjectName(QStringLiteral("TxtLog"));
    QFont font(QStringLiteral("Courier New"), 10);
    font.setStyleHint(QFont::Monospace);
    font.setFixedPitch(true);
    TxtLog->setFont(font);
    TxtLog->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    TxtLog->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    TxtLog->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);

    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(TxtLog);
}

void TFrmLog::AddLine(const std::string& line)
{
    TxtLog->appendPlainText(FromAnsi(line));
}

TStrings TFrmLog::Lines() const
{
    TStrings lines;
    const QString text = TxtLog->toPlainText();
    if (text.isEmpty())
        return lines;
    for (const QString& line : text.split(QChar('\n')))
        lines.push_back(ToAnsi(line));
    return lines;
}

void TFrmLog::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (!FSized) {
        FSized = true;
        SetOuterSize(this, kOuterWidth, kOuterHeight);
    }
}

void SetOuterSize(QWidget* window, int width, int height)
{
    const QSize frame = window->frameGeometry().size() - window->geometry().size();
    window->resize(width - frame.width(), height - frame.height());
}
