// One fixture for the windows: a settings file in a temporary folder, the
// main window, the dialog and the log window created in the program's order.
// The Qt application and the front end that hosts the platform loop live in
// a GoogleTest environment (AppFixture.cpp), so listing needs no display.
#pragma once

#include "app/Account.h"
#include "app/Log.h"
#include "app/Main.h"
#include "app/MessageList.h"
#include "tests/support/Dovecot.h"
#include "tests/support/Mailbox.h"
#include "tests/support/Pop3Peer.h"

#include <QAction>
#include <QApplication>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// What the server receives from a check of two messages with the account
// of WriteAccount (user demo, the built-in password).
inline const std::string kCheckOfTwo = "USER demo\r\nPASS tqrnbzxa\r\nSTAT\r\nLIST\r\nTOP 1 0\r\nTOP 2 0\r\n";

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
    void WriteAccount(const std::string& port) const
    {
        WriteIni("[Account]\nHost=127.0.0.1\nPort=" + port + "\nUser=demo\n");
    }
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
    // Starts the peer's script, then the windows with settings for it.
    void StartOn(testsupport::Pop3Peer& peer) { peer.Start(); WriteAccount(peer.PortText()); Start(); }
    void StartOn(const testsupport::Dovecot& server) { WriteAccount(server.PortText()); Start(); }
    // Banner, login, STAT and LIST of `count` messages of 100 bytes, and a
    // TOP answer "Subject: message <n>" for the first `tops` of them.
    static void ScriptCheck(testsupport::Pop3Peer& peer, int count, int tops);
    // Presses Connect; returns when the check sequence has ended.
    void Connect() { Main->BtnConnect->trigger(); }
    void Select(int index) { Main->LvwMessages->clearSelection(); Main->LvwMessages->Row(index)->setSelected(true); }
    void CloseMain() { Main->close(); }

    // Runs action once ready() holds, polling from a timer in the Qt loop
    // (also while a blocking call waits).
    static void When(std::function<bool()> ready, std::function<void()> action);
    static void OnNextModal(std::function<void(QWidget*)> action)
    {
        When([] { return QApplication::activeModalWidget(); }, [action] { action(QApplication::activeModalWidget()); });
    }
    // Opens the account dialog, edits it, then closes it with key
    // (Qt::Key_Return, Qt::Key_Escape, or 0 for the Cancel button).
    void RunDialog(const std::function<void(TDlgOptionsAccount&)>& edit, int key);

    std::vector<std::string> LogLines(const std::string& prefix = "") const
    {
        std::vector<std::string> lines;
        for (const std::string& line : Log->Lines())
            if (line.starts_with(prefix))
                lines.push_back(line);
        return lines;
    }
    // The message number of every row, top to bottom.
    std::vector<Integer> RowNumbers() const
    {
        std::vector<Integer> numbers;
        for (int i = 0; i < Main->LvwMessages->RowCount(); ++i)
            numbers.push_back(Main->LvwMessages->Row(i)->Data());
        return numbers;
    }
    // Every row as "subject|from|date|size".
    std::vector<std::string> Rows() const
    {
        std::vector<std::string> rows;
        for (int i = 0; i < Main->LvwMessages->RowCount(); ++i)
            rows.push_back(Main->LvwMessages->CellText(i, 0) + "|" + Main->LvwMessages->CellText(i, 1) + "|"
                           + Main->LvwMessages->CellText(i, 2) + "|" + Main->LvwMessages->CellText(i, 3));
        return rows;
    }

    std::filesystem::path Dir;
    std::string IniPath;
    std::unique_ptr<TFrmMain> Main;
    std::unique_ptr<TDlgOptionsAccount> Dlg;
    std::unique_ptr<TFrmLog> Log;
};
