#include "app/Account.h"

#include "app/LoginMethod.h"

#include <QComboBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>

namespace {

template <class TEdit = QLineEdit>
TEdit* AddEdit(QWidget* parent, const char* name, const QString& label, int left, int top, int width)
{
    auto* edit = new TEdit(parent);
    edit->setObjectName(QString::fromLatin1(name));
    edit->setGeometry(left, top, width, 21);
    // Labels sit at the left, 4 pixels lower than their edit.
    auto* caption = new QLabel(label, parent);
    caption->setGeometry(16, top + 4, left - 16 - 4, 16);
    caption->setBuddy(edit);
    return edit;
}

// The usual port of a security choice, offered when the port field is
// empty or holds the other choice's usual port.
void OfferPort(QLineEdit* port, int security)
{
    const QString text = port->text().trimmed();
    if (security == 1 && (text.isEmpty() || text == "110" || text == "pop3"))
        port->setText(QStringLiteral("995"));
    else if (security != 1 && (text == "995" || text == "pop3s"))
        port->setText(QStringLiteral("110"));
}

// The choices of CmbLogin, by TLoginMethod.
constexpr const char* kLoginCaptions[kLoginMethodCount] = {
    "Salasana (USER/PASS)",
    "Automaattinen",
    "APOP",
    "SASL PLAIN",
    "SASL LOGIN",
    "SASL CRAM-MD5",
    "SASL SCRAM-SHA-256",
    "OAuth2 (XOAUTH2)",
    "OAuth2 (OAUTHBEARER)",
};

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
    // Grown by a row (32 pixels) each for the security choice, the login
    // choice and the password command.
    setFixedSize(384, 261);
    if (QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->geometry().center() - rect().center());

    Bevel1 = new QFrame(this);
    Bevel1->setFrameShape(QFrame::Box);
    Bevel1->setFrameShadow(QFrame::Sunken);
    Bevel1->setGeometry(8, 8, 281, 241);

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
    CmbSecurity = AddEdit<QComboBox>(this, "CmbSecurity", QStringLiteral("&Salaus:"), 112, 84, 105);
    CmbSecurity->addItems({QStringLiteral("Ei salausta"), QStringLiteral("TLS (POP3S)"), QStringLiteral("STARTTLS")});
    connect(CmbSecurity, &QComboBox::activated, this, [this](int index) { OfferPort(TxtPort, index); });
    TxtUser = AddEdit(this, "TxtUser", QString::fromUtf8("&Käyttäjätunnus:"), 112, 116, 105);
    CmbLogin = AddEdit<QComboBox>(this, "CmbLogin", QString::fromUtf8("&Kirjautuminen:"), 112, 148, 169);
    for (const char* caption : kLoginCaptions)
        CmbLogin->addItem(QString::fromUtf8(caption));
    TxtPassword = AddEdit(this, "TxtPassword", QStringLiteral("&Salasana:"), 112, 180, 105);
    TxtPassword->setEchoMode(QLineEdit::Password);
    // Show every character of the password as "*" (42), whatever the style.
    TxtPassword->setStyleSheet(QStringLiteral("lineedit-password-character: 42"));
    TxtPasswordCommand =
        AddEdit(this, "TxtPasswordCommand", QString::fromUtf8("Ko&mento:"), 112, 212, 169);
    TxtPasswordCommand->setToolTip(QString::fromUtf8(
        "Salasanakomento: komento, jonka tulosteen ensimmäinen rivi on salasana tai OAuth2-pääsytunniste, "
        "esimerkiksi secret-tool lookup service quillbox user demo. Komento ajetaan jokaisella yhteyskerralla."));
    connect(TxtPasswordCommand, &QLineEdit::textChanged, this,
            [this](const QString& command) { TxtPassword->setEnabled(command.trimmed().isEmpty()); });

    QWidget::setTabOrder(BtnOK, BtnCancel);
    QWidget::setTabOrder(BtnCancel, TxtHost);
    QWidget::setTabOrder(TxtHost, TxtPort);
    QWidget::setTabOrder(TxtPort, CmbSecurity);
    QWidget::setTabOrder(CmbSecurity, TxtUser);
    QWidget::setTabOrder(TxtUser, CmbLogin);
    QWidget::setTabOrder(CmbLogin, TxtPassword);
    QWidget::setTabOrder(TxtPassword, TxtPasswordCommand);
}
