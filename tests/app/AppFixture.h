// One fixture for the windows: it writes a settings file into a temporary
// folder, creates the main window, the dialog and the log window in the
// program's order and shows the main window. The Qt application and the
// front end that hosts the platform loop live in a GoogleTest environment,
// so listing the tests needs no display.
#pragma once

#include "app/Account.h"
#include "app/Log.h"
#include "app/Main.h"
#include "app/MessageList.h"
#include "tests/support/Dovecot.h"
#include "tests/support/Mailbox.h"
#include "tests/support/Pop3Peer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class AppTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    void WriteIni(const std::string& text) const { std::ofstream(IniPath, std::ios::binary) << text; }
    // Settings for 127.0.0.1:port, user demo.
    void WriteAccount(const std::string& port) const
    {
        WriteIni("[Account]\nHost=127.0.0.1\nPort=" + port + "\nUser=demo\n");
    }
    std::string IniText() const { return testsupport::ReadFileBytes(IniPath); }
    void Start();
    // Starts the peer's script, then the windows with settings for it.
    void StartOn(testsupport::Pop3Peer& peer) { peer.Start(); StartOn(peer.PortText()); }
    void StartOn(const testsupport::Dovecot& server) { StartOn(server.PortText()); }
    void StartOn(const std::string& port) { WriteAccount(port); Start(); }
    // Presses Connect; returns when the check sequence has ended.
    void Connect() { Main->BtnConnect->trigger(); }
    void Select(int index);
    void CloseMain() { Main->close(); }

    // Runs action once ready() holds, polling from a timer in the Qt loop
    // (also while a blocking call waits).
    void When(std::function<bool()> ready, std::function<void()> action);
    // Runs action on the next modal window.
    void OnNextModal(std::function<void(QWidget*)> action);
    // The dialog flow: edit the dialog, then close it with key
    // (Qt::Key_Return, Qt::Key_Escape, or 0 for the Cancel button).
    void RunDialog(const std::function<void(TDlgOptionsAccount&)>& edit, int key);
    bool PumpUntil(const std::function<bool()>& done, int timeoutMs = 5000);

    // The log's lines that begin with prefix.
    std::vector<std::string> LogLines(const std::string& prefix = "") const;
    // The message number of every row, top to bottom.
    std::vector<Integer> RowNumbers() const;

    std::filesystem::path Dir;
    std::string IniPath;
    std::unique_ptr<TFrmMain> Main;
    std::unique_ptr<TDlgOptionsAccount> Dlg;
    std::unique_ptr<TFrmLog> Log;
};
