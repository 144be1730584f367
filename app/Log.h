// The log window "Loki": one editable multi-line text box that fills the
// window. It lives for the whole run and is only shown and hidden; its close
// box hides it. Lines are appended, never removed by the program.
//
// Appended lines wait in a list of their own and reach the text box in one
// insertion per frame while the window is shown, or all at once when it is
// shown again: a hidden log costs a string per line and no text layout, and
// a shown one a relayout per frame, not per line.
#pragma once

#include "app/FramePacer.h"
#include "platform/Object.h"

#include <QWidget>

#include <string>

class QPlainTextEdit;

class TFrmLog : public QWidget {
public:
    explicit TFrmLog(QWidget* parent = nullptr);

    // Appends one line (8-bit text), visible or not.
    void AddLine(const std::string& line);
    // The text box's lines, as 8-bit text, the waiting ones included.
    TStrings Lines() const;

    QPlainTextEdit* TxtLog = nullptr;

protected:
    void showEvent(QShowEvent* event) override;

private:
    // Moves the waiting lines into the text box, keeping it scrolled to the
    // end when it was there. Const: the waiting lines are already part of
    // the log's content, only not yet laid out.
    void FlushLines() const;

    bool FSized = false;
    mutable TStrings FWaiting;
    TFramePacer FPacer;
};

// Gives a top-level window the outer size (frame included) once its frame is
// known, i.e. when it is first shown.
void SetOuterSize(QWidget* window, int width, int height);
