// The log window "Loki": one editable multi-line text box that fills the
// window. It lives for the whole run and is only shown and hidden; its close
// box hides it. Lines are appended, never removed by the program.
#pragma once

#include "platform/Object.h"

#include <QWidget>

#include <string>

class QPlainTextEdit;

class TFrmLog : public QWidget {
public:
    explicit TFrmLog(QWidget* parent = nullptr);

    // Appends one line (8-bit text), visible or not.
    void AddLine(const std::string& line);
    // The text box's lines, as 8-bit text.
    TStrings Lines() const;

    QPlainTextEdit* TxtLog = nullptr;

protected:
    void showEvent(QShowEvent* event) override;

private:
    bool FSized = false;
};

// Gives a top-level window the outer size (frame included) once its frame is
// known, i.e. when it is first shown.
void SetOuterSize(QWidget* window, int width, int height);
