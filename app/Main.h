// The main window "Quillbox" and its session controller: it owns the one
// POP3 client, runs the mailbox check as one blocking sequence (connect,
// USER, PASS, STAT, LIST, then TOP 0 for every message), builds a record and
// a row per message from the client's events, deletes a message on the
// server when its row is deleted, and ends the session with QUIT on
// Disconnect or when the window closes. Settings are read when the window is
// created and written when it closes.
//
// What the events change reaches the widgets paced to the screen (rows,
// status text, progress: one flush per frame, FlushView), so that a check of
// thousands of messages costs one relayout and repaint per frame, not per
// message; what the accessors report (StatusText, Messages) is always
// current.
#pragma once

#include "app/FramePacer.h"
#include "app/LoginMethod.h"
#include "app/MailMsg.h"
#include "pop3/Pop3Prot.h"

#include <QMainWindow>

#include <memory>
#include <optional>
#include <string>
#include <vector>

class QAction;
class QLabel;
class QProgressBar;
class QToolBar;
class TDlgOptionsAccount;
class TFrmLog;
class TListItem;
class TListView;
class TPasswordCommand;
namespace platform {
class TIniFile;
}

// The security a port implies when the settings say none: "995" or "pop3s"
// POP3S, anything else no TLS.
TPop3Security SecurityForPort(const std::string& port);

class TFrmMain : public QMainWindow {
public:
    // The columns of LvwMessages.
    static constexpr int kColumnCount = 4;
    static constexpr int kSubjectColumn = 0;
    static constexpr int kSenderColumn = 1;
    static constexpr int kDateColumn = 2;
    static constexpr int kSizeColumn = 3;
    // A column's width in the initial layout, in pixels.
    static int DefaultColumnWidth(int column);

    // Creates the window and runs FormCreate: the settings come from the
    // file named iniFileName (full path).
    explicit TFrmMain(std::string iniFileName, QWidget* parent = nullptr);
    ~TFrmMain() override;

    // The dialog and the log window are created after the main window.
    void SetForms(TDlgOptionsAccount* dlgOptionsAccount, TFrmLog* frmLog);

    // Handlers, run from the window's controls and the client's events.
    void FormCreate();
    void FormShow();
    void FormClose();
    void BtnConnectClick();
    void BtnDisconnectClick();
    void BtnDeleteClick();
    void LvwMessagesChange();
    void LvwMessagesDeletion(TListView* Sender, TListItem* Item);
    void MnuFileExitClick();
    void MnuOptionsAccountClick();
    void MnuOptionsLogClick();
    void Pop3ClientDisplay(TObject* Sender, const std::string& Msg);
    void Pop3ClientRequestDone(TObject* Sender, TPop3Request RqType, Word Error);
    void Pop3ClientStateChange(TObject* Sender);
    void Pop3ClientSessionConnected(TObject* Sender, Word Error);
    void Pop3ClientSessionClosed(TObject* Sender, Word Error);
    void Pop3ClientListBegin(TObject* Sender);
    void Pop3ClientListLine(TObject* Sender);
    void Pop3ClientListEnd(TObject* Sender);
    void Pop3ClientMessageBegin(TObject* Sender);
    void Pop3ClientMessageLine(TObject* Sender);
    void Pop3ClientMessageEnd(TObject* Sender);

    // Components.
    std::unique_ptr<TSyncPop3Cli> Pop3Client;
    QToolBar* ToolBar = nullptr;
    QAction* BtnConnect = nullptr;
    QAction* BtnDisconnect = nullptr;
    QAction* BtnDelete = nullptr;
    TListView* LvwMessages = nullptr;
    QAction* MnuFileExit = nullptr;
    QAction* MnuOptionsAccount = nullptr;
    QAction* MnuOptionsMailCheck = nullptr;
    QAction* MnuOptionsLog = nullptr;
    QAction* MnuHelpAbout = nullptr;

    // Session state, as the tests read it.
    std::string StatusText() const;
    const std::string& AccountHost() const { return FAccountHost; }
    const std::string& AccountUser() const { return FAccountUser; }
    TPop3Security AccountSecurity() const { return FAccountSecurity; }
    // "Account"/"Login" as read or chosen ("user" when missing), and
    // "Account"/"PasswordCommand".
    const std::string& AccountLogin() const { return FAccountLogin; }
    const std::string& AccountPasswordCommand() const { return FAccountPasswordCommand; }
    // The password command's time limit (TPasswordCommand::kTimeLimitMs
    // unless changed here); tests shorten it. Not during a check.
    void SetPasswordCommandTimeLimit(int milliseconds);
    Integer StatCount() const { return FStatCount; }
    const std::vector<std::unique_ptr<TMailMessage>>& Messages() const { return FMessages; }
    // Whether the check fetches the headers with CAPA and SyncTopAll
    // ("Options"/"Pipelining" 1 or missing) or a TOP at a time (0).
    bool Pipelining() const { return FPipelining; }
    // What the status bar's progress shows while the headers are fetched
    // ("120 of 10000 headers"); empty when it is hidden.
    std::string ProgressText() const;

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void CreateMenus();
    void CreateToolBar(QWidget* client);
    void WireClient();
    void LoadSettings();
    void SaveSettings();
    void ApplyWindowSettings();
    QString ColumnWidthsText() const;
    void CopyAccountToClient();
    // TLS settings and the check's TLS steps (MainSecurity.cpp).
    void LoadSecuritySettings(const platform::TIniFile& ini);
    void SaveSecuritySettings(platform::TIniFile& ini);
    void CopySecurityToClient();
    bool ConnectStepDone(bool ok);
    void DiscardSession();

    // The check (MainCheck.cpp): its steps in order, each stopping it when
    // it fails, with the reason in FFailure.
    enum TCheckStep : uint8_t {
        checkCommand, checkConnect, checkCapa, checkLogin, checkStat, checkList, checkHeaders,
    };
    struct TCheckFailure {
        std::string Status;        // the status bar's text
        bool LoginRefused = false; // the server refused the login itself
    };
    void RunCheck();
    bool Connect();
    // Runs a blocking call with the step's error tracking reset; false
    // without calling once the window is closing.
    bool CallStep(bool (TSyncPop3Cli::*call)());
    // Records why the check stopped: reason for the status bar (8-bit
    // Finnish), detail for the log.
    void Fail(TCheckStep step, const std::string& reason, const std::string& detail, bool loginRefused = false);
    // Fail with what the last CallStep went through.
    void FailStep(TCheckStep step);
    void EndFailedSession();

    // Login settings and the login itself (MainLogin.cpp).
    void LoadLoginSettings(const platform::TIniFile& ini);
    void SaveLoginSettings(platform::TIniFile& ini);
    bool RunPasswordCommand(std::string& secret);
    bool LogIn(TLoginMethod method, const std::string& secret);
    // The account dialog; with focusSecret the password (or the command)
    // field has the focus. Returns whether OK took the values.
    bool EditAccount(bool focusSecret);

    // The check's steps after the connect (MainFetch.cpp). AskCapabilities
    // returns false when the session was lost on the way.
    bool AskCapabilities(TLoginMethod method);
    void FetchHeaders();
    void AbandonRequest();
    void FlushView();
    TMailMessage* FindMessage(Integer messageNumber) const;
    void SetStatusText(const std::string& text);
    void AddLog(const std::string& line);
    // Runs a handler from a control: exceptions get the default report, and
    // a close asked for during a blocking call happens once it is over.
    void Run(void (TFrmMain::*handler)());

    std::string FIniFileName;
    std::string FAccountHost;
    std::string FAccountPort;
    std::string FAccountUser;
    std::string FAccountPassword;
    bool FShowLog = false;
    // The window's size and column widths, kept in "Options": each key is
    // written back only when the file had it or the user changed the value
    // from the initial layout, so an old settings file stays as it was.
    QSize FDefaultSize;
    QSize FWindowSize;          // from the file; invalid when not there
    QSize FRestoredSize;        // the normal size the window started with
    bool FWindowSizeRead = false;
    bool FMaximized = false;
    bool FMaximizedRead = false;
    std::vector<int> FColumnWidths; // from the file; empty when not there
    TPop3Security FAccountSecurity = pop3SecNone;
    bool FSecurityRead = false;
    std::string FCaFile;
    bool FCaFileRead = false;
    std::string FCertificatePin;
    bool FCertificatePinSet = false; // read, or set by the trust prompt
    // Written back only when read, or when they differ from the default
    // ("user", no command), so an old file gains nothing.
    std::string FAccountLogin = LoginMethodValue(loginUser);
    bool FLoginRead = false;
    std::string FAccountPasswordCommand;
    bool FPasswordCommandRead = false;
    std::unique_ptr<TPasswordCommand> FPasswordCommand;
    // Why the running check stopped; none while it goes well.
    std::optional<TCheckFailure> FFailure;
    // What the current step's blocking call went through: the first
    // non-zero Error of a completion, the last "-ERR" line shown, and
    // whether the request was aborted (a time-out, when the window did not
    // abandon it).
    Word FStepError = 0;
    std::string FStepErrorLine;
    bool FStepAborted = false;
    bool FPipelining = true;
    bool FPipeliningRead = false; // written back only when the file had it
    // The session's records in LIST order; position i holds message i + 1
    // as long as nothing was deleted.
    std::vector<std::unique_ptr<TMailMessage>> FMessages;
    TMailMessage* FCurrentMessage = nullptr; // receives the TOP in progress
    Integer FStatCount = 0;

    TDlgOptionsAccount* FDlgOptionsAccount = nullptr;
    TFrmLog* FFrmLog = nullptr;
    QLabel* FStatusLabel = nullptr;
    QProgressBar* FProgress = nullptr; // shown while the headers are fetched
    std::string FStatusText;           // the latest; on screen from the next flush
    // Rows of messages that have arrived, in message order, until the next
    // flush adds them to LvwMessages.
    std::vector<std::unique_ptr<TListItem>> FNewRows;
    TFramePacer FPacer{this, [this] { FlushView(); }};
    bool FFetching = false;          // the header fetch is running
    Integer FFetched = 0;            // header blocks that have arrived in it
    bool FDisconnectRequested = false; // Disconnect pressed during the fetch
    int FBusy = 0;                // nesting of blocking handlers
    bool FCloseRequested = false; // close asked for while FBusy
    bool FClosing = false;        // FormClose running or done
    bool FLineContinues = false;  // the last TOP line was a piece of a longer one
    Word FDeleError = 0;          // Error of the last DELE's completion
};
