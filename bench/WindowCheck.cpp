// quillbox-windowcheck [--lockstep] [--log] HOST PORT USER PASSWORD
//
// The whole window's check, for the benchmark: the program's main window,
// dialog and log window on the display Qt is given (QT_QPA_PLATFORM, DISPLAY),
// with a settings file of its own in a temporary folder naming the server.
// Once the windows are on screen it presses "Yhdistä", then "Katkaise" (QUIT),
// and lets the loop deliver what is still pending (the last repaint). With
// --lockstep the settings say "Pipelining=0" (a TOP at a time, no CAPA), with
// --log the log window is shown ("ShowLog=1"). Prints one line in the form
// the benchmark reads from every client:
//   messages=N lines=L bytes=B wall=SECONDS cpu=SECONDS rss=KIB
// lines and bytes count the header lines the window's records hold (without
// line ends); wall and cpu cover the two button presses and the loop pass
// after them; rss is the peak resident set (VmHWM). Exits 1 when the check
// did not show every message the server listed.
#include "app/Account.h"
#include "app/Log.h"
#include "app/Main.h"
#include "app/MessageList.h"
#include "app/QtFrontEnd.h"
#include "bench/SessionMeasure.h"

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QWindow>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

namespace {

// Pumps the loop until the window is on screen (at most 10 seconds).
bool WaitExposed(QWidget& widget)
{
    QElapsedTimer clock;
    clock.start();
    while (!(widget.windowHandle() && widget.windowHandle()->isExposed()) && clock.elapsed() < 10000)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 50);
    return widget.windowHandle() && widget.windowHandle()->isExposed();
}

} // namespace

int main(int argc, char** argv)
{
    bool lockStep = false, log = false;
    int first = 1;
    for (; first < argc && std::strncmp(argv[first], "--", 2) == 0; ++first) {
        if (std::strcmp(argv[first], "--lockstep") == 0)
            lockStep = true;
        else if (std::strcmp(argv[first], "--log") == 0)
            log = true;
        else
            break;
    }
    if (argc - first != 4) {
        std::fprintf(stderr, "usage: quillbox-windowcheck [--lockstep] [--log] HOST PORT USER PASSWORD\n");
        return 2;
    }
    const char* host = argv[first];
    const char* port = argv[first + 1];
    const char* user = argv[first + 2];
    const char* password = argv[first + 3];

    std::string pattern = (std::filesystem::temp_directory_path() / "quillbox-windowcheck-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) {
        std::perror("quillbox-windowcheck: mkdtemp");
        return 1;
    }
    const std::filesystem::path dir = pattern;
    const std::string ini = (dir / "Quillbox.ini").string();
    std::ofstream(ini) << "[Account]\nHost=" << host << "\nPort=" << port << "\nUser=" << user
                       << "\n[Options]\nShowLog=" << (log ? 1 : 0) << "\nPipelining=" << (lockStep ? 0 : 1) << "\n";

    int status = 0;
    {
        QApplication app(argc, argv);
        QApplication::setApplicationName(QStringLiteral("Quillbox"));
        TQtFrontEnd frontEnd;
        auto frmMain = std::make_unique<TFrmMain>(ini);
        auto dlg = std::make_unique<TDlgOptionsAccount>();
        auto frmLog = std::make_unique<TFrmLog>();
        frmMain->SetForms(dlg.get(), frmLog.get());
        frmMain->Pop3Client->SetPassWord(password);
        frmMain->Pop3Client->SetTimeout(60);
        frmMain->show();
        if (!WaitExposed(*frmMain) || (log && !WaitExposed(*frmLog))) {
            std::fprintf(stderr, "quillbox-windowcheck: the windows did not appear\n");
            status = 1;
        } else {
            const double cpu0 = bench::Seconds(CLOCK_PROCESS_CPUTIME_ID);
            const double wall0 = bench::Seconds(CLOCK_MONOTONIC);
            frmMain->BtnConnect->trigger();
            frmMain->BtnDisconnect->trigger();
            QCoreApplication::processEvents();
            const double wall = bench::Seconds(CLOCK_MONOTONIC) - wall0;
            const double cpu = bench::Seconds(CLOCK_PROCESS_CPUTIME_ID) - cpu0;

            long lines = 0, octets = 0;
            for (const auto& message : frmMain->Messages()) {
                lines += static_cast<long>(message->HeaderLines.size());
                for (const std::string& line : message->HeaderLines)
                    octets += static_cast<long>(line.size());
            }
            const int rows = frmMain->LvwMessages->RowCount();
            if (rows != frmMain->StatCount() || size_t(rows) != frmMain->Messages().size()) {
                std::fprintf(stderr, "quillbox-windowcheck: %d rows for %d messages (%s)\n", rows,
                             int(frmMain->StatCount()), frmMain->StatusText().c_str());
                status = 1;
            } else {
                std::printf("messages=%d lines=%ld bytes=%ld wall=%.6f cpu=%.6f rss=%ld\n", rows, lines, octets,
                            wall, cpu, bench::PeakRssKiB());
            }
        }
        frmMain->close();
        frmMain.reset();
        dlg.reset();
        frmLog.reset();
    }
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return status;
}
