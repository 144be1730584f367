#include "app/TrustPrompt.h"

#include "app/Account.h"
#include "app/AnsiText.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

QString CertificateFailureText(Integer error, const std::string& host)
{
    switch (error) {
    case tlsErrCertExpired:
        return QString::fromUtf8("varmenne on vanhentunut.");
    case tlsErrCertNotYetValid:
        return QString::fromUtf8("varmenne ei ole vielä voimassa.");
    case tlsErrCertUntrusted:
        return QString::fromUtf8("varmenteen myöntäjä ei ole luotettu varmentaja.");
    case tlsErrCertHostMismatch:
        return QString::fromUtf8("varmenne ei ole palvelimen %1 varmenne.").arg(FromAnsi(host));
    default:
        return QString::fromUtf8("varmenne ei kelpaa.");
    }
}

namespace {

QLabel* AddField(QGridLayout* grid, int row, const QString& caption, const std::string& value)
{
    grid->addWidget(new QLabel(caption), row, 0, Qt::AlignTop);
    auto* label = new QLabel(FromAnsi(value));
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    label->setWordWrap(true);
    grid->addWidget(label, row, 1);
    return label;
}

} // namespace

TDlgTrustCertificate::TDlgTrustCertificate(const TCustomPop3Cli& client, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                          | Qt::WindowCloseButtonHint)
{
    setWindowTitle(QString::fromUtf8("Varmenteeseen ei luoteta"));
    setFont(FormFont());
    auto* layout = new QVBoxLayout(this);

    LblReason = new QLabel(QString::fromUtf8("Palvelimen %1 varmenteen tarkistus epäonnistui: %2")
                               .arg(FromAnsi(client.Host()), CertificateFailureText(client.TlsError(), client.Host())));
    LblReason->setWordWrap(true);
    layout->addWidget(LblReason);

    auto* grid = new QGridLayout();
    LblSubject = AddField(grid, 0, QString::fromUtf8("Kohde:"), client.TlsPeerSubject());
    LblIssuer = AddField(grid, 1, QString::fromUtf8("Myöntäjä:"), client.TlsPeerIssuer());
    LblValidity = AddField(grid, 2, QString::fromUtf8("Voimassa:"),
                           client.TlsPeerNotBefore() + " \x96 " + client.TlsPeerNotAfter());
    LblFingerprint = AddField(grid, 3, QString::fromUtf8("SHA-256-sormenjälki:"), client.TlsPeerFingerprint());
    layout->addLayout(grid);

    auto* advice = new QLabel(QString::fromUtf8(
        "Luota varmenteeseen vain, jos olet tarkistanut sormenjäljen palvelun ylläpitäjältä. "
        "Luottamus koskee vain tätä varmennetta: jos palvelimen varmenne vaihtuu, tämä kysymys tulee uudelleen."));
    advice->setWordWrap(true);
    layout->addWidget(advice);

    auto* buttons = new QHBoxLayout();
    buttons->addStretch();
    BtnTrust = new QPushButton(QString::fromUtf8("&Luota tähän varmenteeseen"));
    BtnTrust->setObjectName(QStringLiteral("BtnTrust"));
    BtnCancel = new QPushButton(QStringLiteral("Peruuta"));
    BtnCancel->setObjectName(QStringLiteral("BtnCancel"));
    // Trusting is never the default: Enter and Esc both cancel.
    BtnCancel->setDefault(true);
    buttons->addWidget(BtnTrust);
    buttons->addWidget(BtnCancel);
    layout->addLayout(buttons);
    connect(BtnTrust, &QPushButton::clicked, this, &QDialog::accept);
    connect(BtnCancel, &QPushButton::clicked, this, &QDialog::reject);
    setMinimumWidth(460);
}
