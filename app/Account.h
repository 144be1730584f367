// The mail server dialog "Postipalvelimen asetukset": host, port, user name
// and password, OK and Cancel. It has no logic of its own; the main window
// fills it, runs it modally and takes the texts back. It lives for the whole
// run, so the password field keeps what was last typed into it.
#pragma once

#include <QDialog>

class QLineEdit;
class QPushButton;
class QFrame;

class TDlgOptionsAccount : public QDialog {
public:
    explicit TDlgOptionsAccount(QWidget* parent = nullptr);

    QFrame* Bevel1 = nullptr;
    QPushButton* BtnOK = nullptr;
    QPushButton* BtnCancel = nullptr;
    QLineEdit* TxtHost = nullptr;
    QLineEdit* TxtPort = nullptr;
    QLineEdit* TxtUser = nullptr;
    QLineEdit* TxtPassword = nullptr;
};

// The font the windows are laid out for; the nearest installed face stands
// in when it is missing.
QFont FormFont();
