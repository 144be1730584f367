// One fixture for the windows: it writes a settings file into a temporary
// folder, creates the main window, the dialog and the log window in the
// program's order on the given server, and shows the main window. The Qt
// application and the front end that hosts the platform loop are created
// once for the whole executable, in a GoogleTest environment, so listing
// the tests needs no display.
#pragma once

#include "app/Account.h"
#include "app/Log.h"
#include "app/Main.h"
#include "app/MessageList.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class AppTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Writes the settings file (bytes as given).
    void WriteIni(const std::string& text) const;
    // Settings pointing at 127.0.0.1:port as user demo.
    void WriteAccount(const std::string& port, const std::string& extra = "") const;
    std::string IniText() const;
    // Creates the three windows and shows the main one.
    void Start();
    // Presses Connect; returns when the check sequence has ended.
    void Connect() { Main->BtnConnect->trigger(); }
    // Selects the row at index (or none for -1).
    void Select(int index);
    // Closes the main window as the user does.
    void CloseMain() { Main->close(); }

    // Runs action on the next modal window shown (found by polling the
    // loop from a timer), e.g. to fill and close the dialog or an error box.
    void OnNextModal(std::function<void(QWidget*)> action);
    // Runs the dialog flow; edit changes the dialog before it is closed
    // with key (Qt::Key_Return for OK, Qt::Key_Escape, or 0 for Cancel).
    void RunDialog(const std::function<void(TDlgOptionsAccount&)>& edit, int key);
    // Pumps until the predicate holds (at most timeoutMs).
    bool PumpUntil(const std::function<bool()>& done, int timeoutMs = 5000);

    // The log's lines that begin with prefix.
    std::vector<std::string> LogLines(const std::string& prefix = "") const;
    // The message numbers of the rows, top to bottom.
    std::vector<Integer> RowNumbers() const;
    // Records every status text the window shows from now on.
    std::vector<std::string>& RecordStatus();

    std::filesystem::path Dir;
    std::string IniPath;
    std::unique_ptr<TFrmMain> Main;
    std::unique_ptr<TDlgOptionsAccount> Dlg;
    std::unique_ptr<TFrmLog> Log;

private:
    std::vector<std::string> FStatusHistory;
};
