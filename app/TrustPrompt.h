// The prompt "Varmenteeseen ei luoteta", shown when the server's certificate
// fails verification: why, and the certificate's subject, issuer, validity
// and SHA-256 fingerprint, with two answers: trust this one certificate
// ("Luota tähän varmenteeseen", the dialog's acceptance) or cancel. The
// window stores the fingerprint and checks again; the dialog itself decides
// nothing.
#pragma once

#include "pop3/Pop3Prot.h"

#include <QDialog>

class QLabel;
class QPushButton;

class TDlgTrustCertificate : public QDialog {
public:
    // Filled from the client's last handshake.
    TDlgTrustCertificate(const TCustomPop3Cli& client, QWidget* parent = nullptr);

    QLabel* LblReason = nullptr;
    QLabel* LblSubject = nullptr;
    QLabel* LblIssuer = nullptr;
    QLabel* LblValidity = nullptr;
    QLabel* LblFingerprint = nullptr;
    QPushButton* BtnTrust = nullptr;
    QPushButton* BtnCancel = nullptr;
};

// The Finnish reason for a certificate failure (21003...21007), as it
// follows a colon.
QString CertificateFailureText(Integer error, const std::string& host);
