// The account, the log-window choice, the window's size and the column
// widths: read from the settings file when the window is created, changed
// through the mail server dialog, the menu and the window itself, written
// back when the window closes. The password is never stored (the password
// command is, but never what it prints).
#include "app/Main.h"

#include "app/Account.h"
#include "app/AnsiText.h"
#include "app/Log.h"
#include "app/MessageList.h"
#include "app/SettingsFile.h"
#include "platform/Format.h"
#include "platform/IniFiles.h"

#include <QAction>
#include <QComboBox>
#include <QLineEdit>
#include <QScreen>

#include <optional>

namespace {

// A size in pixels, or 0 when the text is no number from 1 to 100 000.
int Pixels(const std::string& text)
{
    const Integer value = platform::ProfileTextToInt(text, 0);
    return value > 0 && value <= 100000 ? value : 0;
}

} // namespace

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
    LoadLoginSettings(ini);
    FShowLog = ini.ReadInteger("Options", "ShowLog", 0) == 1;

    // "WindowWidth"/"WindowHeight": the size when not maximised;
    // "WindowMaximized": 1 or 0; "ColumnWidths": pixels, comma-separated,
    // left to right. A value that is no size keeps the initial layout's.
    const auto width = ReadSetting(ini, "Options", "WindowWidth");
    const auto height = ReadSetting(ini, "Options", "WindowHeight");
    FWindowSizeRead = width || height;
    FWindowSize = QSize(Pixels(width.value_or("")), Pixels(height.value_or("")));
    const auto maximized = ReadSetting(ini, "Options", "WindowMaximized");
    FMaximizedRead = maximized.has_value();
    FMaximized = platform::ProfileTextToInt(maximized.value_or(""), 0) == 1;
    // "Pipelining": 1 (and a missing key, or a value that is no number)
    // fetches the headers with CAPA and SyncTopAll, any other number a TOP
    // at a time as the original check did.
    const auto pipelining = ReadSetting(ini, "Options", "Pipelining");
    FPipeliningRead = pipelining.has_value();
    FPipelining = platform::ProfileTextToInt(pipelining.value_or("1"), 1) == 1;
    FColumnWidths.clear();
    if (const auto widths = ReadSetting(ini, "Options", "ColumnWidths")) {
        size_t start = 0;
        for (int column = 0; column < kColumnCount; ++column) {
            const size_t comma = std::min(widths->find(',', start), widths->size());
            const int pixels = start < widths->size() ? Pixels(widths->substr(start, comma - start)) : 0;
            FColumnWidths.push_back(pixels > 0 ? pixels : DefaultColumnWidth(column));
            start = comma + 1;
        }
    }
}

// "Login": a method's value, any letter case (written back in lower case;
// empty is "user");
// a value that names no method is kept as it is, and the check says so.
// "PasswordCommand": the command as written. Each is written back when the
// file had it or it differs from the default (USER/PASS, no command).
void TFrmMain::LoadLoginSettings(const platform::TIniFile& ini)
{
    const auto login = ReadSetting(ini, "Account", "Login");
    FLoginRead = login.has_value();
    // An empty value is the default, as a missing key.
    const std::string value = Trim(login.value_or(""));
    const std::optional<TLoginMethod> method = LoginMethodOfValue(value.empty() ? "user" : value);
    FAccountLogin = method ? LoginMethodValue(*method) : value;
    const auto command = ReadSetting(ini, "Account", "PasswordCommand");
    FPasswordCommandRead = command.has_value();
    FAccountPasswordCommand = command.value_or("");
}

void TFrmMain::SaveLoginSettings(platform::TIniFile& ini)
{
    if (FLoginRead || FAccountLogin != LoginMethodValue(loginUser))
        ini.WriteString("Account", "Login", FAccountLogin);
    if (FPasswordCommandRead || !FAccountPasswordCommand.empty())
        ini.WriteString("Account", "PasswordCommand", FAccountPasswordCommand);
}

// The restored size never exceeds the screen the window opens on.
void TFrmMain::ApplyWindowSettings()
{
    QSize size = FDefaultSize;
    if (FWindowSize.width() > 0)
        size.setWidth(FWindowSize.width());
    if (FWindowSize.height() > 0)
        size.setHeight(FWindowSize.height());
    if (const QScreen* shown = screen())
        size = size.boundedTo(shown->availableGeometry().size());
    FRestoredSize = size.expandedTo(minimumSize());
    resize(FRestoredSize);
    if (FMaximized)
        setWindowState(windowState() | Qt::WindowMaximized);
    for (size_t column = 0; column < FColumnWidths.size(); ++column)
        LvwMessages->setColumnWidth(int(column), FColumnWidths[column]);
}

QString TFrmMain::ColumnWidthsText() const
{
    QStringList widths;
    for (int column = 0; column < kColumnCount; ++column)
        widths << QString::number(LvwMessages->columnWidth(column));
    return widths.join(QLatin1Char(','));
}

void TFrmMain::SaveSettings()
{
    CreateSettingsFolder(FIniFileName);
    platform::TIniFile ini(FIniFileName);
    ini.WriteString("Account", "Host", FAccountHost);
    ini.WriteString("Account", "Port", FAccountPort);
    ini.WriteString("Account", "User", FAccountUser);
    SaveSecuritySettings(ini);
    SaveLoginSettings(ini);
    ini.WriteInteger("Options", "ShowLog", FShowLog ? 1 : 0);

    // A window maximised from its start may have no normal geometry yet.
    QSize size = isMaximized() ? normalGeometry().size() : this->size();
    if (size.isEmpty())
        size = FRestoredSize;
    if (FWindowSizeRead || size != FDefaultSize) {
        ini.WriteInteger("Options", "WindowWidth", size.width());
        ini.WriteInteger("Options", "WindowHeight", size.height());
    }
    if (FMaximizedRead || isMaximized())
        ini.WriteInteger("Options", "WindowMaximized", isMaximized() ? 1 : 0);
    QStringList defaults;
    for (int column = 0; column < kColumnCount; ++column)
        defaults << QString::number(DefaultColumnWidth(column));
    const QString widths = ColumnWidthsText();
    if (!FColumnWidths.empty() || widths != defaults.join(QLatin1Char(',')))
        ini.WriteString("Options", "ColumnWidths", widths.toStdString());
    if (FPipeliningRead)
        ini.WriteInteger("Options", "Pipelining", FPipelining ? 1 : 0);
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
    EditAccount(false);
}

bool TFrmMain::EditAccount(bool focusSecret)
{
    if (!FDlgOptionsAccount)
        return false;
    TDlgOptionsAccount& dlg = *FDlgOptionsAccount;
    dlg.TxtHost->setText(FromAnsi(FAccountHost));
    dlg.TxtPort->setText(FromAnsi(FAccountPort));
    dlg.TxtUser->setText(FromAnsi(FAccountUser));
    dlg.CmbSecurity->setCurrentIndex(FAccountSecurity);
    const std::optional<TLoginMethod> login = LoginMethodOfValue(FAccountLogin);
    dlg.CmbLogin->setCurrentIndex(login ? int(*login) : -1);
    dlg.TxtPasswordCommand->setText(FromAnsi(FAccountPasswordCommand));
    dlg.TxtPassword->setEnabled(dlg.TxtPasswordCommand->text().trimmed().isEmpty());
    if (focusSecret)
        (dlg.TxtPassword->isEnabled() ? dlg.TxtPassword : dlg.TxtPasswordCommand)->setFocus();
    if (dlg.exec() != QDialog::Accepted)
        return false;
    FAccountSecurity = static_cast<TPop3Security>(dlg.CmbSecurity->currentIndex());
    FAccountHost = ToAnsi(dlg.TxtHost->text());
    FAccountPort = ToAnsi(dlg.TxtPort->text());
    FAccountUser = ToAnsi(dlg.TxtUser->text());
    FAccountPassword = ToAnsi(dlg.TxtPassword->text());
    // Nothing chosen keeps a value that names no method, as the file had it.
    if (dlg.CmbLogin->currentIndex() >= 0)
        FAccountLogin = LoginMethodValue(TLoginMethod(dlg.CmbLogin->currentIndex()));
    FAccountPasswordCommand = ToAnsi(dlg.TxtPasswordCommand->text());
    CopyAccountToClient();
    return true;
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
