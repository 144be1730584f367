// Quillbox: a POP3 mailbox checker. Creates the main window, the mail server
// dialog and the hidden log window in this order and runs the Qt loop, which
// also carries the sockets' events. The settings file "Quillbox.ini" lives
// in the program's own folder.
#include "app/Account.h"
#include "app/Log.h"
#include "app/Main.h"
#include "app/QtFrontEnd.h"

#include <QApplication>
#include <QDir>
#include <QFile>

#include <memory>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quillbox"));
    TQtFrontEnd frontEnd;

    const QString ini = QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("Quillbox.ini"));
    auto frmMain = std::make_unique<TFrmMain>(QFile::encodeName(ini).toStdString());
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
