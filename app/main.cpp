// Quillbox: a POP3 mailbox checker. Answers --version and --help, which
// need no display; otherwise creates the main window, the mail server
// dialog and the hidden log window in this order and runs the Qt loop,
// which also carries the sockets' events. Where the settings file
// "Quillbox.ini" lives is SettingsFileName's choice.
#include "app/Account.h"
#include "app/Log.h"
#include "app/Main.h"
#include "app/QtFrontEnd.h"
#include "app/SettingsFile.h"

#include <QApplication>
#include <QFile>

#include <cstdio>
#include <memory>
#include <optional>
#include <string_view>

namespace {

constexpr const char* kUsage = "Usage: quillbox [--help | --version]";

// The window takes no arguments; a packaged program still answers --version
// and --help. Returns the exit status when the program ends here: 0 after
// an answer (1 when standard output cannot take it), 2 for anything else.
std::optional<int> AnswerArguments(int argc, char* argv[])
{
    if (argc <= 1)
        return std::nullopt;
    const std::string_view argument = argv[1];
    if (argc > 2 || (argument != "--version" && argument != "--help")) {
        std::fprintf(stderr, "%s\n", kUsage);
        return 2;
    }
    if (argument == "--version")
        std::printf("Quillbox %s\n", QUILLBOX_VERSION);
    else
        std::printf("%s (without arguments: opens the window of the POP3 mailbox checker)\n", kUsage);
    return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
}

} // namespace

int main(int argc, char* argv[])
{
    // Before QApplication, which needs a display and takes its own options.
    if (auto status = AnswerArguments(argc, argv))
        return *status;

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quillbox"));
    // Lets a Wayland compositor match the window with the menu entry and icon.
    QGuiApplication::setDesktopFileName(QStringLiteral(QUILLBOX_APP_ID));
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
