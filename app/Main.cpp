#include "app/Main.h"

#include "app/Account.h"
#include "app/AnsiText.h"
#include "app/Images.h"
#include "app/Log.h"
#include "app/MessageList.h"
#include "app/PasswordCommand.h"
#include "app/QtFrontEnd.h"

#include <QCloseEvent>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QProgressBar>
#include <QShowEvent>
#include <QStatusBar>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

namespace {

constexpr int kClientWidth = 570;
constexpr int kClientHeight = 233;
constexpr int kStatusHeight = 19;

// Initial client settings; the loaded port replaces "pop3" even when empty.
constexpr const char* kInitialPort = "pop3";
constexpr Integer kTimeoutSeconds = 15;
// Each run starts with this password; it is never stored.
constexpr const char* kDefaultPassword = "tqrnbzxa";

struct TColumn {
    const char* Caption;
    int Width;
};
constexpr TColumn kColumns[] = {{"Aihe", 220}, {"Lähettäjä", 150}, {"Päiväys", 120}, {"Koko", 50}};
constexpr int kToolBarHeight = 29;
// The list's place in the original fixed layout, in a client area of
// kClientWidth x kClientHeight whose bottom kStatusHeight pixels are the
// status bar: the margins around it as the window grows.
constexpr int kListLeft = 8, kListTop = 40, kListWidth = 553, kListHeight = 169;
constexpr int kMinimumWidth = 300;
constexpr int kMinimumHeight = 150;

} // namespace

TFrmMain::TFrmMain(std::string iniFileName, QWidget* parent)
    : QMainWindow(parent, Qt::Window), FIniFileName(std::move(iniFileName))
{
    setWindowTitle(QStringLiteral("Quillbox"));
    setWindowIcon(ProgramIcon());
    setFont(FormFont());
    CreateMenus();

    // The toolbar along the top, the list filling the rest with the margins
    // of the original fixed layout (the list at 8, 40, 553 x 169 in a client
    // area of 570 x 233 with the status bar).
    auto* client = new QWidget(this);
    setCentralWidget(client);
    auto* layout = new QVBoxLayout(client);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    CreateToolBar(client);
    layout->addWidget(ToolBar);

    LvwMessages = new TListView(client);
    LvwMessages->setObjectName(QStringLiteral("LvwMessages"));
    auto* listArea = new QVBoxLayout();
    listArea->setContentsMargins(kListLeft, kListTop - kToolBarHeight, kClientWidth - kListLeft - kListWidth,
                                 kClientHeight - kStatusHeight - kListTop - kListHeight);
    listArea->addWidget(LvwMessages);
    layout->addLayout(listArea, 1);
    LvwMessages->setColumnCount(kColumnCount);
    QStringList captions;
    for (int i = 0; i < kColumnCount; ++i) {
        captions << QString::fromUtf8(kColumns[i].Caption);
        LvwMessages->setColumnWidth(i, DefaultColumnWidth(i));
    }
    LvwMessages->setHeaderLabels(captions);
    LvwMessages->SetNumericColumn(kDateColumn); // by time
    LvwMessages->SetNumericColumn(kSizeColumn); // by bytes
    connect(LvwMessages, &QTreeWidget::itemSelectionChanged, this,
            [this] { Run(&TFrmMain::LvwMessagesChange); });
    LvwMessages->OnDeletion = [this](TListView* sender, TListItem* item) {
        LvwMessagesDeletion(sender, item);
    };

    statusBar()->setFixedHeight(kStatusHeight);
    FStatusLabel = new QLabel(statusBar());
    statusBar()->addWidget(FStatusLabel, 1);
    FProgress = new QProgressBar(statusBar());
    FProgress->setFormat(QStringLiteral("%v of %m headers"));
    FProgress->setMaximumHeight(kStatusHeight - 4);
    FProgress->setMinimumWidth(180);
    FProgress->hide();
    statusBar()->addPermanentWidget(FProgress);

    // The original layout is the initial size; the user may resize and
    // maximise the window (the settings may restore another size).
    FDefaultSize = QSize(kClientWidth, kClientHeight + menuBar()->sizeHint().height());
    resize(FDefaultSize);
    setMinimumSize(kMinimumWidth, kMinimumHeight);
    move(200, 108);

    Pop3Client = std::make_unique<TSyncPop3Cli>();
    Pop3Client->SetPort(kInitialPort);
    Pop3Client->SetMsgLines(0);
    Pop3Client->SetMsgNum(0);
    Pop3Client->SetTag(0);
    Pop3Client->SetTimeout(kTimeoutSeconds);
    Pop3Client->SetMultiThreaded(false);
    WireClient();
    FPasswordCommand = std::make_unique<TPasswordCommand>();

    FormCreate();
}

TFrmMain::~TFrmMain()
{
    // The rows go while the window is whole (their removals reach
    // LvwMessagesDeletion, which only drops their records); then
    // the client, whose last events must not reach a half-destroyed window.
    // Never a DELE from here, even when the window goes without a close.
    FClosing = true;
    LvwMessages->Clear();
    LvwMessages->OnDeletion = nullptr;
    Pop3Client.reset();
}

int TFrmMain::DefaultColumnWidth(int column)
{
    return kColumns[column].Width;
}

void TFrmMain::SetForms(TDlgOptionsAccount* dlgOptionsAccount, TFrmLog* frmLog)
{
    FDlgOptionsAccount = dlgOptionsAccount;
    FFrmLog = frmLog;
}

void TFrmMain::CreateMenus()
{
    auto addItem = [this](QMenu* menu, const QString& caption, void (TFrmMain::*handler)()) {
        QAction* action = menu->addAction(caption);
        if (handler)
            connect(action, &QAction::triggered, this, [this, handler] { Run(handler); });
        return action;
    };
    QMenu* file = menuBar()->addMenu(QStringLiteral("&Tiedosto"));
    MnuFileExit = addItem(file, QStringLiteral("&Lopeta"), &TFrmMain::MnuFileExitClick);
    QMenu* options = menuBar()->addMenu(QStringLiteral("&Asetukset"));
    MnuOptionsAccount = addItem(options, QStringLiteral("&Postipalvelin..."), &TFrmMain::MnuOptionsAccountClick);
    MnuOptionsMailCheck = addItem(options, QStringLiteral("Postin &haku..."), nullptr);
    options->addSeparator();
    MnuOptionsLog = options->addAction(QString::fromUtf8("Näytä &loki-ikkuna"));
    MnuOptionsLog->setCheckable(true);
    // A checkable action flips its mark before "triggered"; the handler
    // decides from the mark as it was.
    connect(MnuOptionsLog, &QAction::triggered, this, [this](bool checked) {
        MnuOptionsLog->setChecked(!checked);
        Run(&TFrmMain::MnuOptionsLogClick);
    });
    QMenu* help = menuBar()->addMenu(QStringLiteral("&Ohje"));
    MnuHelpAbout = addItem(help, QStringLiteral("&Tietoja ohjelmasta..."), nullptr);
}

void TFrmMain::CreateToolBar(QWidget* client)
{
    ToolBar = new QToolBar(client);
    ToolBar->setObjectName(QStringLiteral("ToolBar"));
    ToolBar->setMovable(false);
    ToolBar->setFloatable(false);
    ToolBar->setIconSize(QSize(18, 18));
    ToolBar->setToolButtonStyle(Qt::ToolButtonIconOnly);
    ToolBar->setContentsMargins(6, 0, 0, 0);
    ToolBar->setStyleSheet(QStringLiteral(
        "QToolBar { border-top: 1px solid palette(mid); border-bottom: 1px solid palette(mid); }"));
    ToolBar->setFixedHeight(kToolBarHeight);

    auto addButton = [this](TToolbarImage image, const QString& hint, void (TFrmMain::*handler)()) {
        QAction* action = ToolBar->addAction(QIcon(ToolbarImage(image)), hint);
        action->setToolTip(hint);
        if (QWidget* button = ToolBar->widgetForAction(action))
            button->setFixedSize(25, 24);
        connect(action, &QAction::triggered, this, [this, handler] { Run(handler); });
        return action;
    };
    BtnConnect = addButton(TToolbarImage::Connect, QString::fromUtf8("Yhdistä"), &TFrmMain::BtnConnectClick);
    BtnDisconnect = addButton(TToolbarImage::Disconnect, QStringLiteral("Katkaise yhteys"),
                              &TFrmMain::BtnDisconnectClick);
    QWidget* separator = new QWidget(ToolBar);
    separator->setFixedWidth(8);
    ToolBar->addWidget(separator);
    BtnDelete = addButton(TToolbarImage::Delete, QStringLiteral("Poista viesti"), &TFrmMain::BtnDeleteClick);
    BtnDisconnect->setEnabled(false);
    BtnDelete->setEnabled(false);
}

void TFrmMain::FormCreate()
{
    LoadSettings();
    ApplyWindowSettings();
    FAccountPassword = kDefaultPassword;
    CopyAccountToClient();
    FMessages.clear();
    FStatCount = 0;
}

void TFrmMain::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    // A restore from the task bar is spontaneous; FormShow is for showing.
    if (!event->spontaneous())
        FormShow();
}

void TFrmMain::closeEvent(QCloseEvent* event)
{
    if (FClosing) {
        event->accept();
        return;
    }
    if (FBusy > 0) {
        // A blocking call is running below us: abandon its request and
        // close once it has returned (Run does that).
        FCloseRequested = true;
        event->ignore();
        AbandonRequest();
        return;
    }
    FClosing = true;
    try {
        FormClose();
    } catch (const std::exception& e) {
        ShowException(e);
    }
    event->accept();
    // The program ends with the main window, also when the log is shown.
    if (FFrmLog)
        FFrmLog->hide();
}

void TFrmMain::FormClose()
{
    if (Pop3Client->ProtocolState() == pop3Transaction) {
        Pop3Client->SyncQuit();
        BtnDisconnect->setEnabled(false);
    }
    try {
        SaveSettings();
    } catch (const Exception& e) {
        // The settings are lost, but the program still closes.
        QMessageBox::critical(this, QStringLiteral("Error"), FromAnsi(e.Message()));
    }
    FCurrentMessage = nullptr;
    FMessages.clear();
}

void TFrmMain::MnuFileExitClick()
{
    close();
}

void TFrmMain::Run(void (TFrmMain::*handler)())
{
    try {
        (this->*handler)();
    } catch (const std::exception& e) {
        ShowException(e);
    }
    if (FBusy == 0 && FCloseRequested) {
        FCloseRequested = false;
        close();
    }
}

std::string TFrmMain::StatusText() const
{
    return FStatusText;
}

void TFrmMain::SetStatusText(const std::string& text)
{
    FStatusText = text;
    FPacer.Request();
}

void TFrmMain::AddLog(const std::string& line)
{
    if (FFrmLog)
        FFrmLog->AddLine(line);
}
