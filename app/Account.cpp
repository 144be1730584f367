#include "app/Account.h"

#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>

namespace {

QLineEdit* AddEdit(QWidget* parent, const char* name, const QString& label, int left, int top,
                   int width)
{
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(QString::fromLatin1(name));
    edit->setGeometry(left, top, width, 21);
    // Labels sit at the left, 4 pixels lower than their edit.
    auto* caption = new QLabel(label, parent);
    caption->setGeometry(16, top + 4, left - 16 - 4, 16);
    caption->setBuddy(edit);
    return edit;
}

} // namespace

QFont FormFont()
{
    QFont font(QStringLiteral("MS Sans Serif"), 8);
    font.setStyleHint(QFont::SansSerif);
    return font;
}

TDlgOptionsAccount::TDlgOptionsAccount(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint
                          | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint)
{
    setWindowTitle(QStringLiteral("Postipalvelimen asetukset"));
    setFont(FormFont());
    setFixedSize(384, 165);
    if (QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->geometry().center() - rect().center());

    Bevel1 = new QFrame(this);
    Bevel1->setFrameShape(QFrame::Box);
    Bevel1->setFrameShadow(QFrame::Sunken);
    Bevel1->setGeometry(8, 8, 281, 145);

    BtnOK = new QPushButton(QStringLiteral("OK"), this);
    BtnOK->setObjectName(QStringLiteral("BtnOK"));
    BtnOK->setGeometry(300, 8, 75, 25);
    BtnOK->setDefault(true);
    connect(BtnOK, &QPushButton::clicked, this, &QDialog::accept);

    // Esc rejects a QDialog by itself, which is what the cancel button does.
    BtnCancel = new QPushButton(QStringLiteral("Peruuta"), this);
    BtnCancel->setObjectName(QStringLiteral("BtnCancel"));
    BtnCancel->setGeometry(300, 38, 75, 25);
    connect(BtnCancel, &QPushButton::clicked, this, &QDialog::reject);

    TxtHost = AddEdit(this, "TxtHost", QStringLiteral("&Postipalvelin:"), 112, 22, 169);
    TxtPort = AddEdit(this, "TxtPort", QStringLiteral("P&ortin numero:"), 112, 52, 49);
    TxtUser = AddEdit(this, "TxtUser", QString::fromUtf8("&Käyttäjätunnus:"), 112, 84, 105);
    TxtPassword = AddEdit(this, "TxtPassword", QStringLiteral("&Salasana:"), 112, 116, 105);
    TxtPassword->setEchoMode(QLineEdit::Password);
    // Show every character of the password as "*" (42), whatever the style.
    TxtPassword->setStyleSheet(QStringLiteral("lineedit-password-character: 42"));

    QWidget::setTabOrder(BtnOK, BtnCancel);
    QWidget::setTabOrder(BtnCancel, TxtHost);
    QWidget::setTabOrder(TxtHost, TxtPort);
    QWidget::setTabOrder(TxtPort, TxtUser);
    QWidget::setTabOrder(TxtUser, TxtPassword);
}
