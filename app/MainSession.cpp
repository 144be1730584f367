#include "app/Main.h"

#include "app/AnsiText.h"
#include "app/MessageList.h"
#include "app/MessageRow.h"
#include "platform/Format.h"
#include "platform/ScopedCount.h"

#include <QAction>
#include <QMessageBox>

#include <algorithm>
#include <cstdint>

namespace {

std::string StateText(TPop3State state)
{
    switch (state) {
    case pop3Ready: return "Ready";
    case pop3DnsLookup: return "Performing DNS lookup";
    case pop3Connecting: return "Connecting";
    case pop3Connected: return "Connected";
    case pop3InternalReady: return "Ready (internal)";
    case pop3WaitingBanner: return "Waiting for banner";
    case pop3WaitingResponse: return "Waiting for response";
    case pop3Abort: return "Aborted";
    }
    return "";
}

} // namespace

void TFrmMain::WireClient()
{
    TSyncPop3Cli& c = *Pop3Client;
    c.OnDisplay = [this](TObject* s, const std::string& m) { Pop3ClientDisplay(s, m); };
    c.OnRequestDone = [this](TObject* s, TPop3Request r, Word e) { Pop3ClientRequestDone(s, r, e); };
    c.OnStateChange = [this](TObject* s) { Pop3ClientStateChange(s); };
    c.OnSessionConnected = [this](TObject* s, Word e) { Pop3ClientSessionConnected(s, e); };
    c.OnSessionClosed = [this](TObject* s, Word e) { Pop3ClientSessionClosed(s, e); };
    c.OnListBegin = [this](TObject* s) { Pop3ClientListBegin(s); };
    c.OnListLine = [this](TObject* s) { Pop3ClientListLine(s); };
    c.OnListEnd = [this](TObject* s) { Pop3ClientListEnd(s); };
    c.OnMessageBegin = [this](TObject* s) { Pop3ClientMessageBegin(s); };
    c.OnMessageLine = [this](TObject* s) { Pop3ClientMessageLine(s); };
    c.OnMessageEnd = [this](TObject* s) { Pop3ClientMessageEnd(s); };
}

// A new check starts clean: the rows and records of an earlier session go
// (no DELE: they belong to a session that has ended), and LIST must go out
// without a message number so that it lists the whole mailbox.
void TFrmMain::DiscardSession()
{
    LvwMessages->Clear();
    FNewRows.clear();
    FCurrentMessage = nullptr;
    FMessages.clear();
    FStatCount = 0;
    Pop3Client->SetMsgNum(0);
}

void TFrmMain::BtnDisconnectClick()
{
    if (FBusy > 0) {
        // The client is busy with another request; the header fetch alone
        // may be stopped (the rest of the press follows once it has ended).
        if (FFetching && !FDisconnectRequested) {
            FDisconnectRequested = true;
            AbandonRequest();
        }
        return;
    }
    {
        platform::TScopedCount busy(FBusy); // see TFrmMain::closeEvent
        Pop3Client->SyncQuit();
    }
    BtnConnect->setEnabled(true);
    BtnDisconnect->setEnabled(false);
}

// DELE goes out with the selected row's message number; the row goes only
// when the server has confirmed it. A refusal or no answer keeps the row
// (RFC 1939: a session that ends without QUIT deletes nothing) and says so.
void TFrmMain::BtnDeleteClick()
{
    // While another blocking call runs the client cannot send DELE, and
    // removing a record would shift the positions the TOP loop relies on.
    if (FBusy > 0)
        return;
    if (Pop3Client->ProtocolState() != pop3Transaction || LvwMessages->SelCount() != 1)
        return;
    platform::TScopedCount busy(FBusy); // see TFrmMain::closeEvent
    TListItem* row = LvwMessages->Selected();
    const Integer number = row->Data();
    FDeleError = 0;
    Pop3Client->SetMsgNum(number);
    if (Pop3Client->SyncDele()) {
        LvwMessages->Remove(row);
        return;
    }
    const std::string reason =
        FDeleError == 500 ? "refused: " + Pop3Client->LastResponse() : std::string("not answered");
    SetStatusText("DELE " + std::to_string(number) + " " + reason + "; the message is kept");
}

void TFrmMain::LvwMessagesChange()
{
    BtnDelete->setEnabled(LvwMessages->SelCount() >= 1);
}

// Every row that leaves the list takes its record along; the DELE (if
// any) has been answered before.
void TFrmMain::LvwMessagesDeletion(TListView*, TListItem* Item)
{
    const Integer number = Item->Data();
    for (auto it = FMessages.begin(); it != FMessages.end(); ++it) {
        if ((*it)->MessageNumber == number) {
            if (FCurrentMessage == it->get())
                FCurrentMessage = nullptr;
            FMessages.erase(it);
            break;
        }
    }
}

void TFrmMain::Pop3ClientDisplay(TObject*, const std::string& Msg)
{
    AddLog(Msg);
    // The server's refusals ("< -ERR ...") and the engine's own errors.
    if (Msg.starts_with("-ERR") || Msg.starts_with("< -ERR"))
        FStepErrorLine = Msg;
}

void TFrmMain::Pop3ClientRequestDone(TObject*, TPop3Request RqType, Word Error)
{
    AddLog("Request Done Rq=" + std::to_string(int(RqType)) + " Error=" + std::to_string(unsigned(Error)));
    if (FStepError == 0)
        FStepError = Error;
    TSyncPop3Cli& c = *Pop3Client;
    switch (RqType) {
    case pop3Stat:
        SetStatusText(Format("STAT OK, %d messages, %d bytes", {int64_t(c.MsgCount()), int64_t(c.MsgSize())}));
        FStatCount = c.MsgCount();
        break;
    case pop3List:
        SetStatusText(Format("LIST OK, %d messages, %d bytes", {int64_t(c.MsgNum()), int64_t(c.MsgSize())}));
        break;
    case pop3Top:
        SetStatusText("TOP " + std::to_string(c.MsgNum()) + " " + std::to_string(c.MsgSize()));
        break;
    case pop3Dele:
        // A failed DELE is reported by BtnDeleteClick, which keeps the row.
        FDeleError = Error;
        if (Error == 0)
            SetStatusText("DELE " + std::to_string(c.MsgNum()));
        break;
    case pop3Last:
        SetStatusText("LAST = " + std::to_string(c.MsgNum()));
        break;
    case pop3Connect:
    case pop3User:
    case pop3Pass:
    case pop3RPop:
    case pop3Quit:
    case pop3Retr:
    case pop3Noop:
    case pop3RSet:
    case pop3Uidl:
    case pop3APop:
    case pop3Open:
    case pop3Capa:
    case pop3Stls:
    case pop3Auth:
    case pop3TopAll:
        break;
    }
}

void TFrmMain::Pop3ClientStateChange(TObject*)
{
    SetStatusText(StateText(Pop3Client->State()));
    if (Pop3Client->State() == pop3Abort)
        FStepAborted = true;
}

void TFrmMain::Pop3ClientSessionConnected(TObject*, Word)
{
    SetStatusText("Connected to " + FAccountHost + " as " + FAccountUser);
}

void TFrmMain::Pop3ClientSessionClosed(TObject*, Word)
{
    SetStatusText("Yhteys palvelimeen " + FAccountHost + " katkaistu");
}

void TFrmMain::Pop3ClientListBegin(TObject*)
{
    AddLog("*** LIST BEGIN ***");
}

void TFrmMain::Pop3ClientListLine(TObject*)
{
    auto message = std::make_unique<TMailMessage>(Pop3Client->MsgNum());
    message->MessageSize = Pop3Client->MsgSize();
    FMessages.push_back(std::move(message));
}

void TFrmMain::Pop3ClientListEnd(TObject*)
{
    AddLog("*** LIST END ***");
}

TMailMessage* TFrmMain::FindMessage(Integer messageNumber) const
{
    // Message i is at position i - 1 as LIST delivered them; search by
    // number when that record is not there, so that header lines never go
    // into another message's record.
    const Integer position = messageNumber - 1;
    if (position >= 0 && size_t(position) < FMessages.size()
        && FMessages[size_t(position)]->MessageNumber == messageNumber)
        return FMessages[size_t(position)].get();
    for (const auto& message : FMessages)
        if (message->MessageNumber == messageNumber)
            return message.get();
    return nullptr;
}

void TFrmMain::Pop3ClientMessageBegin(TObject*)
{
    FCurrentMessage = FindMessage(Pop3Client->MsgNum());
    FLineContinues = false;
}

// A line longer than the client's receive buffer arrives in pieces; they are
// joined again, so that a long Subject stays whole and no piece is ever
// taken for a header line of its own. A joined line keeps at most
// kMaxHeaderLine bytes (RFC 5322 section 2.1.1 allows 998).
void TFrmMain::Pop3ClientMessageLine(TObject*)
{
    constexpr size_t kMaxHeaderLine = 65536;
    const bool continues = FLineContinues;
    FLineContinues = Pop3Client->PartialLine();
    if (!FCurrentMessage)
        return;
    TStrings& lines = FCurrentMessage->HeaderLines;
    if (!continues || lines.empty()) {
        lines.push_back(Pop3Client->LastResponse());
        return;
    }
    std::string& line = lines.back();
    line.append(Pop3Client->LastResponse(), 0, kMaxHeaderLine - std::min(kMaxHeaderLine, line.size()));
}

void TFrmMain::Pop3ClientMessageEnd(TObject*)
{
    TMailMessage* message = FCurrentMessage;
    FCurrentMessage = nullptr;
    if (FFetching) {
        ++FFetched;
        FPacer.Request();
    }
    if (!message)
        return; // lines of a message without a record were dropped
    ExtractHeaders(*message);
    const TMessageRow shown = MessageRow(*message);
    auto row = std::make_unique<TListItem>(message->MessageNumber);
    row->setText(kSubjectColumn, shown.Subject);
    row->setText(kSenderColumn, shown.Sender);
    row->setToolTip(kSenderColumn, shown.SenderToolTip);
    row->setText(kDateColumn, shown.Date);
    row->setText(kSizeColumn, shown.Size);
    row->setTextAlignment(kSizeColumn, Qt::AlignRight | Qt::AlignVCenter);
    // No date sorts before every date.
    row->SetSortKey(kDateColumn, shown.Time.value_or(INT64_MIN));
    row->SetSortKey(kSizeColumn, message->MessageSize);
    FNewRows.push_back(std::move(row));
    FPacer.Request();
}
