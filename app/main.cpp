// Quillbox: a POP3 mailbox checker. Creates the main window, the mail server
// dialog and the hidden log window in this order and runs the Qt loop, which
// also carries the sockets' events. Where the settings file "Quillbox.ini"
// lives is SettingsFileName's choice.
#include "app/Account.h"
#include "app/Log.h"
#include "app/Main.h"
#include "app/QtFrontEnd.h"
#include "app/SettingsFile.h"

#include <QApplication>
#include <QFile>

#include <memory>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quillbox"));
    TQtFrontEnd frontEnd;

    const std::string ini = SettingsFileName(QFile::encodeName(QCoreApplication::applicationDirPath()).toStdString());
    auto frmMain = std::make_unique<TFrmMain>(ini);
    auto dlgOptionsAccount = std::make_unique<TDlgOptionsAccount>();
    auto frmLog = std::make_unique<TFrmLog>();
    frmMain->SetForms(dlgOptionsAccount.get(), frmLog.get());

    frmMain->show();
    int result = QApplication::exec();
    // The main window first: its client may still report to the log.
    frmMain.reset();
    dlgOptionsAccount.reset();
    frmLog.reset();
    return result;
}
