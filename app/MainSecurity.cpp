// The account's security: the settings keys "Security", "CaFile" and
// "CertificatePin" of [Account], and what a check does about TLS (the trust
// prompt for a certificate that fails verification).
//
// A file without "Security" keeps working: the port "995" or "pop3s" means
// POP3S, anything else no TLS, as before. Only keys that were read or that
// the user set are written, so an old file gains nothing it does not need:
// "Security" only when its value differs from what the port says.
#include "app/Main.h"

#include "app/SettingsFile.h"
#include "app/TrustPrompt.h"
#include "platform/Format.h"
#include "platform/IniFiles.h"

namespace {

const char* const kSecurityValues[] = {"none", "tls", "starttls"}; // by TPop3Security

} // namespace

TPop3Security SecurityForPort(const std::string& port)
{
    const std::string text = Trim(port);
    return text == "995" || text == "pop3s" ? pop3SecTls : pop3SecNone;
}

void TFrmMain::LoadSecuritySettings(const platform::TIniFile& ini)
{
    const std::string security = ReadSetting(ini, "Account", "Security").value_or("");
    FAccountSecurity = SecurityForPort(FAccountPort);
    FSecurityRead = false;
    for (TPop3Security s : {pop3SecNone, pop3SecTls, pop3SecStartTls})
        if (SameText(security, kSecurityValues[s])) {
            FAccountSecurity = s;
            FSecurityRead = true;
        }
    const auto caFile = ReadSetting(ini, "Account", "CaFile");
    FCaFileRead = caFile.has_value();
    FCaFile = caFile.value_or("");
    const auto pin = ReadSetting(ini, "Account", "CertificatePin");
    FCertificatePinSet = pin.has_value();
    FCertificatePin = pin.value_or("");
}

void TFrmMain::SaveSecuritySettings(platform::TIniFile& ini)
{
    if (FSecurityRead || FAccountSecurity != SecurityForPort(FAccountPort))
        ini.WriteString("Account", "Security", kSecurityValues[FAccountSecurity]);
    if (FCaFileRead)
        ini.WriteString("Account", "CaFile", FCaFile);
    if (FCertificatePinSet)
        ini.WriteString("Account", "CertificatePin", FCertificatePin);
}

void TFrmMain::CopySecurityToClient()
{
    Pop3Client->SetSecurity(FAccountSecurity);
    Pop3Client->SetTlsCaFile(FCaFile);
    Pop3Client->SetTlsPin(FCertificatePin);
}

// After the connect step of a check: a certificate that failed verification
// is shown to the user, who may trust it: its fingerprint becomes the pin
// (kept in the settings file) and the connection is tried once more, now
// accepting that one certificate only. Returns whether the check is
// connected in the end. (The warning for a check in the clear comes with
// the login, which knows whether the password crosses the connection.)
bool TFrmMain::ConnectStepDone(bool ok)
{
    if (ok)
        return true;
    if (!IsTlsCertificateError(Pop3Client->TlsError()) || Pop3Client->TlsPeerFingerprint().empty())
        return false;
    TDlgTrustCertificate prompt(*Pop3Client, this);
    if (prompt.exec() != QDialog::Accepted)
        return false;
    FCertificatePin = Pop3Client->TlsPeerFingerprint();
    FCertificatePinSet = true;
    Pop3Client->SetTlsPin(FCertificatePin);
    AddLog("Certificate trusted by the user: SHA-256 " + FCertificatePin);
    return CallStep(&TSyncPop3Cli::SyncConnect);
}
