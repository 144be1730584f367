// One fixture for the windows: a settings file in a temporary folder, the
// main window, the dialog and the log window created in the program's order.
// The Qt application and the front end that hosts the platform loop live in
// a GoogleTest environment, so listing the tests needs no display.
#pragma once

#include "app/Account.h"
#include "app/Log.h"
#include "app/Main.h"
#include "app/MessageList.h"
#include "app/QtFrontEnd.h"
#include "tests/support/Dovecot.h"
#include "tests/support/Mailbox.h"
#include "tests/support/Pop3Peer.h"

#include <QAction>
#include <QApplication>
#include <QHeaderView>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include <stdlib.h>
#include <time.h>

struct QtEnvironment : ::testing::Environment {
    void SetUp() override
    {
        // Dates are shown in local time: the tests read them in Finland's.
        ::setenv("TZ", "Europe/Helsinki", 1);
        ::tzset();
        static int argc = 1;
        static char name[] = "app_tests";
        static char* argv[] = {name, nullptr};
        FApp = std::make_unique<QApplication>(argc, argv);
        QApplication::setApplicationName(QStringLiteral("Quillbox"));
        QApplication::setQuitOnLastWindowClosed(false);
        FFrontEnd = std::make_unique<TQtFrontEnd>();
    }
    void TearDown() override { FFrontEnd.reset(); FApp.reset(); }

    std::unique_ptr<QApplication> FApp;
    std::unique_ptr<TQtFrontEnd> FFrontEnd;
};
inline const auto* gQtEnvironment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

// What the server receives from a check of two messages with the account
// of StartOn (user demo, the built-in password), without and with the CAPA
// that "Pipelining" (1 by default) sends after the banner.
inline const std::string kOriginalCheckOfTwo = "USER demo\r\nPASS tqrnbzxa\r\nSTAT\r\nLIST\r\nTOP 1 0\r\nTOP 2 0\r\n";
inline const std::string kCheckOfTwo = "CAPA\r\n" + kOriginalCheckOfTwo;

class AppTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "quillbox-app-XXXXXX").string();
        Dir = mkdtemp(pattern.data());
        IniPath = (Dir / "Quillbox.ini").string();
    }
    void TearDown() override
    {
        if (Main && Main->isVisible())
            Main->close();
        Stop();
        std::filesystem::remove_all(Dir);
    }

    void WriteIni(const std::string& text) const { std::ofstream(IniPath, std::ios::binary) << text; }
    std::string IniText() const { return testsupport::ReadFileBytes(IniPath); }
    // Creates and shows the windows, in place of those of an earlier Start.
    void Start()
    {
        Stop();
        Main = std::make_unique<TFrmMain>(IniPath);
        Dlg = std::make_unique<TDlgOptionsAccount>();
        Log = std::make_unique<TFrmLog>();
        Main->SetForms(Dlg.get(), Log.get());
        Main->show();
    }
    void Stop() { Main.reset(); Dlg.reset(); Log.reset(); }
    // Starts the windows with the account 127.0.0.1:port, user demo; for a
    // peer, its script first.
    // options: more lines of the settings file ("[Options]\nPipelining=0\n").
    void StartOn(const std::string& port, const std::string& options = "")
    {
        WriteIni("[Account]\nHost=127.0.0.1\nPort=" + port + "\nUser=demo\n" + options);
        Start();
    }
    void StartOn(testsupport::Pop3Peer& peer, const std::string& options = "")
    {
        peer.Start();
        StartOn(peer.PortText(), options);
    }
    void StartOn(const testsupport::Dovecot& server, const std::string& options = "")
    {
        StartOn(server.PortText(), options);
    }
    // The banner and the answer to the check's CAPA, which lists PIPELINING
    // when asked to; none when the check sends no CAPA.
    static void ScriptBanner(testsupport::Pop3Peer& peer, bool capa = true, bool pipelining = false)
    {
        peer.Reply("+OK ready");
        if (capa) {
            peer.Answer("+OK Capability list follows").Reply("TOP").Reply("USER");
            if (pipelining)
                peer.Reply("PIPELINING");
            peer.Reply(".");
        }
    }
    // Banner (ScriptBanner), login, STAT and LIST of `count` messages of 100
    // bytes, and a TOP answer "Subject: message <n>" for the first `tops` of
    // them, each after its command.
    static void ScriptCheck(testsupport::Pop3Peer& peer, int count, int tops, bool capa = true,
                            bool pipelining = false)
    {
        ScriptBanner(peer, capa, pipelining);
        peer.Answer("+OK").Answer("+OK");
        peer.Answer("+OK " + std::to_string(count) + " " + std::to_string(count * 100)).Answer("+OK");
        for (int i = 1; i <= count; ++i)
            peer.Reply(std::to_string(i) + " 100");
        peer.Reply(".");
        for (int i = 1; i <= tops; ++i)
            peer.Answer("+OK").Reply("Subject: message " + std::to_string(i)).Reply(".");
    }
    // A pipelining server's check of `count` messages: after the login,
    // STAT and LIST it reads the first `sent` TOP commands as one lot (the
    // client sends them without waiting for a reply) and answers the first
    // `answered` of them.
    static void ScriptPipelined(testsupport::Pop3Peer& peer, int count, int sent, int answered)
    {
        ScriptCheck(peer, count, 0, true, true);
        peer.Expect(sent);
        for (int i = 1; i <= answered; ++i)
            peer.Reply("+OK").Reply("Subject: message " + std::to_string(i)).Reply(".");
    }
    // Presses Connect; returns when the check sequence has ended.
    void Connect() { Main->BtnConnect->trigger(); }
    // A mouse click on a row, as the user selects one, once it is shown
    // (rows reach the list within a frame of their message).
    void Select(int index)
    {
        TListView& list = *Main->LvwMessages;
        ASSERT_TRUE(QTest::qWaitFor([&] { return list.RowCount() > index; }));
        list.scrollToItem(list.Row(index));
        QTest::mouseClick(list.viewport(), Qt::LeftButton, Qt::NoModifier,
                          list.visualItemRect(list.Row(index)).center());
    }
    // A mouse click on a column header of the message list.
    void ClickHeader(int column)
    {
        QHeaderView* header = Main->LvwMessages->header();
        const QPoint middle(header->sectionViewportPosition(column) + header->sectionSize(column) / 2,
                            header->height() / 2);
        QTest::mouseClick(header->viewport(), Qt::LeftButton, Qt::NoModifier, middle);
    }

    // Runs action once ready() holds, polling from a timer in the Qt loop
    // (also while a blocking call waits).
    static void When(std::function<bool()> ready, std::function<void()> action)
    {
        auto* timer = new QTimer();
        QObject::connect(timer, &QTimer::timeout, [timer, ready, action] {
            if (ready()) {
                timer->stop();
                timer->deleteLater();
                action();
            }
        });
        timer->start(10);
    }
    static void OnNextModal(std::function<void(QWidget*)> action)
    {
        When([] { return QApplication::activeModalWidget(); }, [action] { action(QApplication::activeModalWidget()); });
    }
    // Opens the account dialog, edits it, then closes it with key
    // (Qt::Key_Return, Qt::Key_Escape, or 0 for the Cancel button).
    void RunDialog(const std::function<void(TDlgOptionsAccount&)>& edit, int key)
    {
        OnNextModal([edit, key](QWidget* modal) {
            auto& dlg = *static_cast<TDlgOptionsAccount*>(modal);
            edit(dlg);
            if (key == 0)
                dlg.BtnCancel->click();
            else
                QTest::keyClick(&dlg, Qt::Key(key));
        });
        Main->MnuOptionsAccount->trigger();
    }

    std::vector<std::string> LogLines(const std::string& prefix = "") const
    {
        std::vector<std::string> lines;
        for (const std::string& line : Log->Lines())
            if (line.starts_with(prefix))
                lines.push_back(line);
        return lines;
    }
    // Every row as "<message number>:<subject>|<sender>|<date>|<size>", UTF-8.
    std::vector<std::string> Rows() const
    {
        std::vector<std::string> rows;
        for (int i = 0; i < Main->LvwMessages->RowCount(); ++i) {
            std::string row = std::to_string(Main->LvwMessages->Row(i)->Data()) + ":";
            for (int column = 0; column < 4; ++column)
                row += Main->LvwMessages->CellText(i, column) + (column < 3 ? "|" : "");
            rows.push_back(row);
        }
        return rows;
    }

    std::filesystem::path Dir;
    std::string IniPath;
    std::unique_ptr<TFrmMain> Main;
    std::unique_ptr<TDlgOptionsAccount> Dlg;
    std::unique_ptr<TFrmLog> Log;
};
