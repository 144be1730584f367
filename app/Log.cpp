#include "app/Log.h"

#include "app/AnsiText.h"

#include <QHBoxLayout>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QShowEvent>
#include <QTextCursor>

namespace {
constexpr int kOuterWidth = 361;
constexpr int kOuterHeight = 198;
} // namespace

TFrmLog::TFrmLog(QWidget* parent) : QWidget(parent, Qt::Window), FPacer(this, [this] { FlushLines(); })
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
    FWaiting.push_back(line);
    if (isVisible())
        FPacer.Request();
}

void TFrmLog::FlushLines() const
{
    if (FWaiting.empty())
        return;
    size_t size = FWaiting.size();
    for (const std::string& line : FWaiting)
        size += line.size();
    std::string text;
    text.reserve(size);
    for (const std::string& line : FWaiting) {
        text += '\n';
        text += line;
    }
    FWaiting.clear();
    // One insertion of every line, each a block of its own, as appending
    // them one by one would make them; the first needs no line break before
    // it in an empty box.
    QScrollBar* bar = TxtLog->verticalScrollBar();
    const bool atEnd = bar->value() == bar->maximum();
    QTextCursor cursor(TxtLog->document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(FromAnsi(TxtLog->document()->isEmpty() ? text.substr(1) : text));
    if (atEnd)
        bar->setValue(bar->maximum());
}

TStrings TFrmLog::Lines() const
{
    FlushLines();
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
    FlushLines();
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
