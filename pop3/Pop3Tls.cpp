// TLS in the POP3 engine: the STLS negotiation that Connect runs in
// pop3SecStartTls mode, the STLS request, and what every handshake reports.
// (pop3SecTls needs nothing here: the socket speaks TLS from the first byte
// and reports the connection once its handshake has finished.)
//
// STLS during Connect (RFC 2595 section 4): CAPA, STLS when CAPA lists it,
// the handshake, CAPA again (the capabilities may differ under TLS); the
// Connect request ends only then. Whatever goes wrong on the way closes the
// connection: the session never goes on in plaintext, so USER and PASS are
// never sent in the clear.
#include "pop3/Pop3Prot.h"

namespace {

// "TLSv1.3" as "TLS 1.3".
std::string ProtocolText(const std::string& version)
{
    if (version.rfind("TLSv", 0) == 0)
        return "TLS " + version.substr(4);
    return version;
}

bool IsTlsCode(Word Error)
{
    return Error >= tlsErrHandshake && Error <= tlsErrNotTls;
}

} // namespace

std::string TCustomPop3Cli::FailureText(Word Error) const
{
    if (IsTlsCode(Error) && !FSocket->TlsErrorText().empty())
        return "-ERR " + FSocket->TlsErrorText() + " (TLS error #" + std::to_string(Error) + ")";
    return "-ERR " + SocketErrorText(Error) + " (Winsock error #" + std::to_string(Error) + ")";
}

// A command that is one step of the request under way: the request stays
// open, and AfterOk runs after a positive status line; a negative one fails
// the negotiation.
void TCustomPop3Cli::SendInternal(const std::string& Line, THandler AfterOk)
{
    FNext = &TCustomPop3Cli::InternalStatusReceived;
    FAfterOk = AfterOk;
    SetState(pop3WaitingResponse);
    SendCommand(Line);
}

void TCustomPop3Cli::InternalStatusReceived()
{
    FireDisplay("< " + FLastResponse);
    if (!IsPositiveStatus()) {
        FResponseCode = ParseResponseCode(FLastResponse);
        StlsFailed(FLastResponse, NegativeReply, false);
        return;
    }
    (this->*FAfterOk)();
}

void TCustomPop3Cli::StlsCapaStart()
{
    static const TNotifyEvent None;
    FCapabilities.clear();
    FCapabilityBytes = 0;
    StartMultiLine(&TCustomPop3Cli::ParseCapaLine, None, None, None, &TCustomPop3Cli::StlsCapaDone);
}

void TCustomPop3Cli::StlsCapaDone()
{
    if (!HasCapability("STLS")) {
        StlsFailed("-ERR Server does not offer STLS", NegativeReply);
        return;
    }
    SendInternal("STLS", &TCustomPop3Cli::StlsGoAhead);
}

// The server said "+OK" to STLS. Nothing may follow that line before the
// handshake (RFC 2595 section 8): bytes already received behind it were put
// there by someone in the middle, to be read as if they came under TLS.
void TCustomPop3Cli::StlsGoAhead()
{
    if (FRcvLen > 0) {
        StlsFailed("-ERR " + SocketErrorText(tlsErrPlaintext) + " (TLS error #" + std::to_string(tlsErrPlaintext) + ")",
                   tlsErrPlaintext);
        return;
    }
    FStlsPending = true;
    try {
        FSocket->StartTls();
    } catch (Exception& E) {
        FStlsPending = false;
        StlsFailed("-ERR " + E.Message(), tlsErrHandshake);
    }
}

// Every handshake ends here, the one of pop3SecTls too (whose failure the
// socket reports once more through OnSessionConnected, where Connect fails).
void TCustomPop3Cli::SocketHandshakeDone(TObject*, Word Error)
{
    if (!FStlsPending) {
        if (Error == 0)
            DisplayTls();
        return;
    }
    FStlsPending = false;
    if (Error != 0) {
        StlsFailed(FailureText(Error), Error);
        return;
    }
    DisplayTls();
    // RFC 2595 section 4: what was learnt before TLS is forgotten.
    FCapabilities.clear();
    FCapabilityBytes = 0;
    if (FStlsInConnect) {
        SendInternal("CAPA", &TCustomPop3Cli::StlsCapaAgainStart);
        return;
    }
    FireRequestDone(0);
}

void TCustomPop3Cli::StlsCapaAgainStart()
{
    static const TNotifyEvent None;
    StartMultiLine(&TCustomPop3Cli::ParseCapaLine, None, None, None, &TCustomPop3Cli::StlsConnected);
}

void TCustomPop3Cli::StlsConnected()
{
    FStlsInConnect = false;
    SetState(pop3Connected);
    FireSessionConnected(0);
    FireRequestDone(0);
}

// Ends the request with Error and closes the connection; Text is displayed
// unless it is the server's line (displayed already). The engine counts
// as disconnected before the completion runs, so that nothing (a sequence's
// next step) can be sent on the connection any more.
void TCustomPop3Cli::StlsFailed(const std::string& Text, Integer Error, bool Display)
{
    FStlsInConnect = false;
    FStlsPending = false;
    KeepFailure(Text, Error);
    if (Display)
        FireDisplay(Text);
    FConnected = false;
    FireRequestDone(Error);
    if (FSocket && FSocket->State() != wsClosed)
        FSocket->Close();
}

// "TLS 1.3, TLS_AES_256_GCM_SHA384, CN=mail.example.fi": protocol, cipher
// and the certificate's subject, nothing of its private data.
void TCustomPop3Cli::DisplayTls()
{
    std::string text = ProtocolText(FSocket->TlsProtocol()) + ", " + FSocket->TlsCipher() + ", " +
                       FSocket->TlsPeerSubject();
    if (FSocket->TlsPinUsed())
        text += " (not verified; trusted by its pinned fingerprint)";
    FireDisplay(text);
}
