// The mail server dialog "Postipalvelimen asetukset": host, port, the
// security of the connection, user name, the way to log in, password and
// password command, OK and Cancel. It has no logic of its own beyond
// disabling the password while a command is set; the main window fills it,
// runs it modally and takes the texts back. It lives for the whole run, so
// the password field keeps what was last typed into it.
#pragma once

#include <QDialog>

class QComboBox;
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
    // "Ei salausta", "TLS (POP3S)", "STARTTLS": the index is the
    // TPop3Security. Choosing one offers its usual port (995 for TLS, 110
    // otherwise) in place of an empty port or the other one's.
    QComboBox* CmbSecurity = nullptr;
    QLineEdit* TxtUser = nullptr;
    // "Salasana (USER/PASS)", "Automaattinen", "APOP", the SASL
    // mechanisms: the index is the TLoginMethod; -1 (nothing shown) for a
    // settings value that names no method.
    QComboBox* CmbLogin = nullptr;
    // Disabled while TxtPasswordCommand holds a command.
    QLineEdit* TxtPassword = nullptr;
    // A shell command whose first line of output is the password or token.
    QLineEdit* TxtPasswordCommand = nullptr;
};

// The font the windows are laid out for; the nearest installed face stands
// in when it is missing.
QFont FormFont();
