// The account and the log-window choice: read from the settings file when
// the window is created, changed through the mail server dialog and the
// menu, written back when the window closes. The password is never stored.
#include "app/Main.h"

#include "app/Account.h"
#include "app/AnsiText.h"
#include "app/Log.h"
#include "platform/IniFiles.h"

#include <QAction>
#include <QComboBox>
#include <QLineEdit>

void TFrmMain::FormShow()
{
    MnuOptionsLog->setChecked(FShowLog);
    if (FShowLog && FFrmLog)
        FFrmLog->show();
}

void TFrmMain::LoadSettings()
{
    platform::TIniFile ini(FIniFileName);
    FAccountHost = ini.ReadString("Account", "Host", "");
    FAccountPort = ini.ReadString("Account", "Port", "");
    FAccountUser = ini.ReadString("Account", "User", "");
    LoadSecuritySettings(ini);
    FShowLog = ini.ReadInteger("Options", "ShowLog", 0) == 1;
}

void TFrmMain::SaveSettings()
{
    platform::TIniFile ini(FIniFileName);
    ini.WriteString("Account", "Host", FAccountHost);
    ini.WriteString("Account", "Port", FAccountPort);
    ini.WriteString("Account", "User", FAccountUser);
    SaveSecuritySettings(ini);
    ini.WriteInteger("Options", "ShowLog", FShowLog ? 1 : 0);
}

void TFrmMain::CopyAccountToClient()
{
    Pop3Client->SetHost(FAccountHost);
    Pop3Client->SetPort(FAccountPort);
    Pop3Client->SetUserName(FAccountUser);
    Pop3Client->SetPassWord(FAccountPassword);
    CopySecurityToClient();
}

void TFrmMain::MnuOptionsAccountClick()
{
    if (!FDlgOptionsAccount)
        return;
    TDlgOptionsAccount& dlg = *FDlgOptionsAccount;
    dlg.TxtHost->setText(FromAnsi(FAccountHost));
    dlg.TxtPort->setText(FromAnsi(FAccountPort));
    dlg.TxtUser->setText(FromAnsi(FAccountUser));
    dlg.CmbSecurity->setCurrentIndex(FAccountSecurity);
    if (dlg.exec() != QDialog::Accepted)
        return;
    FAccountSecurity = static_cast<TPop3Security>(dlg.CmbSecurity->currentIndex());
    FAccountHost = ToAnsi(dlg.TxtHost->text());
    FAccountPort = ToAnsi(dlg.TxtPort->text());
    FAccountUser = ToAnsi(dlg.TxtUser->text());
    FAccountPassword = ToAnsi(dlg.TxtPassword->text());
    CopyAccountToClient();
}

void TFrmMain::MnuOptionsLogClick()
{
    if (MnuOptionsLog->isChecked()) {
        MnuOptionsLog->setChecked(false);
        FShowLog = false;
        if (FFrmLog)
            FFrmLog->hide();
    } else {
        MnuOptionsLog->setChecked(true);
        FShowLog = true;
        if (FFrmLog)
            FFrmLog->show();
    }
}
