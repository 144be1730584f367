// The POP3 commands (RFC 1939 sections 5 to 7): one table describes the
// family, one routine checks, builds and starts any of them, and the status
// line of every command is classified in one place.
#include "pop3/Pop3Prot.h"

#include "pop3/MD5.h"

namespace {

// When a command may be sent, besides the engine being ready and connected.
enum class TAllowed : uint8_t {
    Always,        // QUIT
    BeforeLogin,   // USER: pop3Disconnected or pop3WaitingUser
    BeforePass,    // PASS, RPOP: at most pop3WaitingPass
    AfterBanner,   // APOP: pop3WaitingUser, and a timestamp is stored
    InTransaction, // everything else
    AnyState,      // CAPA: any protocol state, which the reply leaves as it is
    BeforeTls,     // STLS: pop3WaitingUser on a session not under TLS yet
};

// What follows the verb.
enum class TArgument : uint8_t {
    None,
    UserName,       // trimmed
    PassWord,       // trimmed
    ApopDigest,     // user name, space, MD5 hex of timestamp + password
    MsgNum,         // always, whatever its value
    OptionalMsgNum, // only when MsgNum > 0
    MsgNumAndLines, // MsgNum, space, MsgLines
    EachMessage,    // one command per message 1 .. MsgCount, each "n MsgLines"
};

} // namespace

struct TCustomPop3Cli::TCommand {
    TPop3Request Request;
    TPop3Step Step;
    const char* Verb;
    TAllowed Allowed;
    TArgument Argument;
    // Protocol state entered when the status line is positive.
    TPop3ProtocolState Target;
    // Run after a positive status line; none completes the request. The
    // second applies when the optional message number is absent.
    THandler AfterOk;
    THandler AfterOkAll;
};

namespace {

using C = TCustomPop3Cli;

} // namespace

// Indexed by TPop3Request (pop3Open is a sequence, not a command).
const TCustomPop3Cli::TCommand* TCustomPop3Cli::FindCommand(TPop3Request Request)
{
    static const TCommand Commands[] = {
        {pop3User, pop3StepUser, "USER", TAllowed::BeforeLogin, TArgument::UserName, pop3WaitingPass, nullptr, nullptr},
        {pop3Pass, pop3StepPass, "PASS", TAllowed::BeforePass, TArgument::PassWord, pop3Transaction, nullptr, nullptr},
        {pop3RPop, pop3StepRPop, "RPOP", TAllowed::BeforePass, TArgument::PassWord, pop3Transaction, nullptr, nullptr},
        {pop3APop, pop3StepAPop, "APOP", TAllowed::AfterBanner, TArgument::ApopDigest, pop3Transaction, nullptr,
         nullptr},
        {pop3Quit, pop3StepQuit, "QUIT", TAllowed::Always, TArgument::None, pop3Disconnected, &C::QuitDone,
         nullptr},
        {pop3Stat, pop3StepStat, "STAT", TAllowed::InTransaction, TArgument::None, pop3Transaction, &C::StatDone,
         nullptr},
        {pop3List, pop3StepList, "LIST", TAllowed::InTransaction, TArgument::OptionalMsgNum, pop3Transaction,
         &C::ListOneDone, &C::ListAllStart},
        {pop3Uidl, pop3StepUidl, "UIDL", TAllowed::InTransaction, TArgument::OptionalMsgNum, pop3Transaction,
         &C::UidlOneDone, &C::UidlAllStart},
        {pop3Retr, pop3StepRetr, "RETR", TAllowed::InTransaction, TArgument::MsgNum, pop3Transaction,
         &C::MessageStart, nullptr},
        {pop3Top, pop3StepTop, "TOP", TAllowed::InTransaction, TArgument::MsgNumAndLines, pop3Transaction,
         &C::MessageStart, nullptr},
        {pop3Dele, pop3StepDele, "DELE", TAllowed::InTransaction, TArgument::MsgNum, pop3Transaction, nullptr,
         nullptr},
        {pop3Noop, pop3StepNoop, "NOOP", TAllowed::InTransaction, TArgument::None, pop3Transaction, nullptr,
         nullptr},
        {pop3Last, pop3StepLast, "LAST", TAllowed::InTransaction, TArgument::None, pop3Transaction, &C::LastDone,
         nullptr},
        {pop3RSet, pop3StepRSet, "RSET", TAllowed::InTransaction, TArgument::None, pop3Transaction, nullptr,
         nullptr},
        {pop3Capa, pop3StepNone, "CAPA", TAllowed::AnyState, TArgument::None, pop3Disconnected, &C::CapaStart,
         nullptr},
        {pop3Stls, pop3StepNone, "STLS", TAllowed::BeforeTls, TArgument::None, pop3WaitingUser, &C::StlsGoAhead,
         nullptr},
        {pop3TopAll, pop3StepNone, "TOP", TAllowed::InTransaction, TArgument::EachMessage, pop3Transaction,
         &C::TopAllMessageStart, nullptr},
    };
    for (const TCommand& command : Commands)
        if (command.Request == Request)
            return &command;
    return nullptr;
}

void TCustomPop3Cli::CheckReady()
{
    if (FEngineState != pop3Ready && FEngineState != pop3InternalReady)
        throw Pop3Exception("POP3 component not ready");
}

// A refusal that the log also sees: recorded in ErrorMessage, displayed,
// then raised.
void TCustomPop3Cli::RefuseWith(const std::string& Text)
{
    FErrorMessage = Text;
    FireDisplay(Text);
    throw Pop3Exception(Text);
}

void TCustomPop3Cli::RunCommand(TPop3Request Request)
{
    const TCommand& command = *FindCommand(Request);
    FCurrentStep = command.Step;
    const std::string refusal = std::string("-ERR ") + command.Verb + " command invalid now";
    switch (command.Allowed) {
    case TAllowed::Always:
        break;
    case TAllowed::BeforeLogin:
        if (FProtoState != pop3Disconnected && FProtoState != pop3WaitingUser)
            RefuseWith(refusal);
        break;
    case TAllowed::BeforePass:
        if (FProtoState > pop3WaitingPass)
            RefuseWith(refusal);
        break;
    case TAllowed::AfterBanner:
        if (FProtoState != pop3WaitingUser)
            RefuseWith(refusal);
        if (FApopTimeStamp.empty())
            RefuseWith("-ERR Server do not support APOP (no timestamp)");
        break;
    case TAllowed::InTransaction:
        if (FProtoState != pop3Transaction)
            RefuseWith(refusal);
        break;
    case TAllowed::AnyState:
        break;
    case TAllowed::BeforeTls:
        if (FProtoState != pop3WaitingUser || FSocket->TlsState() != tlsUnwrapped)
            RefuseWith(refusal);
        break;
    }
    const TPop3ProtocolState target = command.Allowed == TAllowed::AnyState ? FProtoState : command.Target;

    // What the log may show of the argument, where it differs.
    std::string argument, shownArgument;
    THandler afterOk = command.AfterOk;
    switch (command.Argument) {
    case TArgument::None:
        break;
    case TArgument::UserName:
        argument = Trim(FUserName);
        break;
    case TArgument::PassWord:
        argument = Trim(FPassWord);
        shownArgument = Pop3Mask;
        break;
    case TArgument::ApopDigest:
        argument = Trim(FUserName) + " " + DigestHexOfString(FApopTimeStamp + FPassWord);
        shownArgument = Trim(FUserName) + " " + Pop3Mask;
        break;
    case TArgument::MsgNum:
        argument = std::to_string(FMsgNum);
        break;
    case TArgument::OptionalMsgNum:
        if (FMsgNum > 0)
            argument = std::to_string(FMsgNum);
        else
            afterOk = command.AfterOkAll;
        break;
    case TArgument::MsgNumAndLines:
        argument = std::to_string(FMsgNum) + " " + std::to_string(FMsgLines);
        break;
    case TArgument::EachMessage:
        TopAllStart(command.Request, target, afterOk);
        return;
    }
    std::string line = command.Verb;
    if (!argument.empty())
        line += " " + argument;
    const std::string shown = argument.empty() || shownArgument.empty() ? "" : command.Verb + (" " + shownArgument);
    StartCommand(command.Request, line, target, afterOk, shown);
}

// The common start of every request that sends commands: refused unless
// ready and connected; afterwards the request is open.
void TCustomPop3Cli::BeginCommandRequest(TPop3Request Request, TPop3ProtocolState Target, THandler AfterOk)
{
    CheckReady();
    if (!FConnected)
        throw Pop3Exception("POP3 component not connected");
    if (!FInSequence)
        FRequestType = Request;
    FDoneReported = false;
    FResponseCode.clear();
    FNextProtocolState = Target;
    FAfterOk = AfterOk;
}

void TCustomPop3Cli::StartCommand(TPop3Request Request, const std::string& Line, TPop3ProtocolState Target,
                                  THandler AfterOk, const std::string& Shown, THandler Next)
{
    BeginCommandRequest(Request, Target, AfterOk);
    FNext = Next;
    SetState(pop3WaitingResponse);
    SendCommand(Line, Shown);
}

// Pending events are processed once before the line goes out. One of them
// may be the close of the connection, which has then already ended this
// request with 10004: nothing is sent on a connection that is gone.
// Secrets never reach OnDisplay: a line that carries one is shown as Shown.
void TCustomPop3Cli::SendCommand(const std::string& Line, const std::string& Shown)
{
    FireDisplay("> " + (Shown.empty() ? Line : Shown));
    FSocket->ProcessMessages();
    if (FDoneReported || !FConnected)
        return;
    FSocket->SendStr(Line + "\r\n");
}

// The first line of every reply: "+" in its first byte is positive (RFC
// 1939 section 3 "+OK"), anything else negative.
//
// A refused login (a command that would have entered the TRANSACTION state
// from AUTHORIZATION: PASS, RPOP, APOP, AUTH) leaves the server in the
// AUTHORIZATION state, waiting for USER, APOP or AUTH anew (RFC 1939
// section 4, RFC 5034 section 4), so a second try in the same session
// starts again from there.
void TCustomPop3Cli::CommandStatusReceived()
{
    FireDisplay("< " + FLastResponse);
    if (IsPositiveStatus()) {
        FRequestResult = 0;
        SetProtocolState(FNextProtocolState);
        if (FAfterOk)
            (this->*FAfterOk)();
        else
            FireRequestDone(0);
        return;
    }
    FRequestResult = FStatusCode;
    FResponseCode = ParseResponseCode(FLastResponse);
    KeepErrorMessage();
    if (FNextProtocolState == pop3Transaction && FProtoState != pop3Transaction && FProtoState != pop3Disconnected)
        SetProtocolState(pop3WaitingUser);
    FireRequestDone(FRequestResult);
}

void TCustomPop3Cli::User() { RunCommand(pop3User); }
void TCustomPop3Cli::Pass() { RunCommand(pop3Pass); }
void TCustomPop3Cli::RPop() { RunCommand(pop3RPop); }
void TCustomPop3Cli::APop() { RunCommand(pop3APop); }
void TCustomPop3Cli::Stat() { RunCommand(pop3Stat); }
void TCustomPop3Cli::List() { RunCommand(pop3List); }
void TCustomPop3Cli::Retr() { RunCommand(pop3Retr); }
void TCustomPop3Cli::Dele() { RunCommand(pop3Dele); }
void TCustomPop3Cli::Noop() { RunCommand(pop3Noop); }
void TCustomPop3Cli::Last() { RunCommand(pop3Last); }
void TCustomPop3Cli::RSet() { RunCommand(pop3RSet); }
void TCustomPop3Cli::Uidl() { RunCommand(pop3Uidl); }
void TCustomPop3Cli::Capa() { RunCommand(pop3Capa); }
void TCustomPop3Cli::Stls() { RunCommand(pop3Stls); }

// Checked before anything else, even outside the transaction state, and
// without touching ErrorMessage.
void TCustomPop3Cli::Top()
{
    if (FMsgLines < 0)
        throw Pop3Exception("Invalid MsgLines for TOP command");
    RunCommand(pop3Top);
}

// Without a connection nothing is sent and the request completes at once
// with 0 (the completion is still delivered later, from the event loop).
void TCustomPop3Cli::Quit()
{
    CheckReady();
    if (FConnected) {
        RunCommand(pop3Quit);
        return;
    }
    FCurrentStep = pop3StepQuit;
    if (!FInSequence)
        FRequestType = pop3Quit;
    FRequestResult = 0;
    FDoneReported = false;
    FireRequestDone(0);
}
