// The AUTH command (RFC 5034): one request whose exchange may take several
// lines each way. The command line and every answer go out through the
// command cycle; the mechanisms (pop3/Sasl.h) compute the answers. Only the
// server's challenges are shown in the log, never what the client answers.
#include "pop3/Pop3Prot.h"

#include "platform/Format.h"
#include "pop3/Base64.h"

#include <openssl/rand.h>

#include <algorithm>

namespace {

// Random bytes in a SCRAM client nonce: 144 bits, 24 base64 characters.
constexpr int NonceBytes = 18;

std::string Listed(const std::vector<std::string>& Names)
{
    std::string text;
    for (const std::string& name : Names)
        text += (text.empty() ? "" : " ") + name;
    return text;
}

} // namespace

void TCustomPop3Cli::Auth()
{
    CheckReady();
    FCurrentStep = pop3StepNone;
    if (FProtoState != pop3WaitingUser)
        RefuseWith("-ERR AUTH command invalid now");
    const TSaslCredentials credentials{Trim(FUserName), FPassWord, FHost, FPort, SaslClientNonce()};
    std::unique_ptr<TSaslMechanism> mechanism = TSaslMechanism::Create(FAuthMechanism, credentials);
    if (!mechanism)
        RefuseWith("-ERR Unknown SASL mechanism \"" + FAuthMechanism + "\" (known: " +
                   Listed(TSaslMechanism::Names()) + ")");
    // Without a CAPA reply the server's offer is unknown, and the server decides.
    const std::vector<std::string> offered = SaslMechanisms();
    if (!FCapabilities.empty() &&
        std::none_of(offered.begin(), offered.end(), [&](const std::string& name) {
            return SameText(name, mechanism->Name());
        }))
        RefuseWith(std::string("-ERR The server does not offer SASL ") + mechanism->Name() +
                   (offered.empty() ? " (its CAPA lists no SASL mechanism)" : " (it offers " + Listed(offered) + ")"));

    std::string line = std::string("AUTH ") + mechanism->Name();
    std::string shown = line;
    FSaslInitial = mechanism->InitialResponse();
    if (FSaslInitial) {
        // "=" stands for an empty initial response (RFC 5034 section 4).
        const std::string encoded = FSaslInitial->empty() ? "=" : Base64Encode(*FSaslInitial);
        if (line.size() + 1 + encoded.size() + 2 <= Pop3MaxCommandLine) {
            line += " " + encoded;
            shown += std::string(" ") + Pop3Mask;
            FSaslInitial.reset();
        }
    }
    FSasl = std::move(mechanism);
    StartCommand(pop3Auth, line, pop3Transaction, nullptr, shown, &TCustomPop3Cli::AuthReplyReceived);
}

// Every line of the exchange comes here (RFC 5034 section 4): "+ " and
// base64, or a lone "+", is a challenge; "+OK" or "-ERR" ends the exchange
// and goes through the command cycle, which also leaves a refused login
// waiting for USER, APOP or AUTH again.
void TCustomPop3Cli::AuthReplyReceived()
{
    if (FLastResponse == "+" || FLastResponse.compare(0, 2, "+ ") == 0) {
        AuthChallengeReceived();
        return;
    }
    const std::unique_ptr<TSaslMechanism> mechanism = std::move(FSasl);
    FSaslInitial.reset();
    if (!FLastResponse.empty() && FLastResponse[0] == '+' && mechanism && !mechanism->MaySucceed()) {
        FireDisplay("< " + FLastResponse);
        AuthFailed(std::string(mechanism->Name()) +
                   ": the server ended the exchange without proving that it knows the password");
        // The server has let the session in, but not as one that knows the
        // password: the request ends as refused, and nothing more goes to
        // that server.
        FStatusCode = NegativeReply;
        FRequestResult = NegativeReply;
        FireRequestDone(NegativeReply);
        FSocket->Close();
        return;
    }
    CommandStatusReceived();
}

// A challenge is answered on a line of its own, base64-encoded; the client
// cancels with "*" when the challenge or the server fails it, and the
// server then answers "-ERR".
void TCustomPop3Cli::AuthChallengeReceived()
{
    FireDisplay("< " + FLastResponse);
    TSaslAnswer answer;
    std::string challenge;
    if (FPartialLine) {
        // The rest of the line is dropped by the line assembly.
        answer = {{}, true, "SASL challenge longer than " + std::to_string(Pop3RcvBufSize - 1) + " bytes"};
    } else if (!Base64Decode(std::string_view(FLastResponse).substr(std::min<size_t>(2, FLastResponse.size())),
                             challenge)) {
        answer = {{}, true, "SASL challenge is not base64"};
    } else if (FSaslInitial) {
        // The initial response that did not fit the AUTH line answers the
        // server's first, empty challenge.
        answer.Response = std::move(*FSaslInitial);
        FSaslInitial.reset();
    } else if (FSasl) {
        answer = FSasl->Respond(challenge);
    } else {
        answer.Cancel = true;
    }
    if (!answer.Error.empty())
        AuthFailed(answer.Error);
    SendCommand(answer.Cancel ? "*" : Base64Encode(answer.Response), Pop3Mask);
}

// What the client finds wrong itself replaces any earlier error text, as the
// refusals do; the server's final "-ERR" then leaves it in place.
void TCustomPop3Cli::AuthFailed(const std::string& Why)
{
    FErrorMessage = "-ERR " + Why;
    FireDisplay(FErrorMessage);
}

std::string TCustomPop3Cli::SaslClientNonce()
{
    unsigned char bytes[NonceBytes];
    if (RAND_bytes(bytes, NonceBytes) != 1)
        throw Pop3Exception("No random bytes for the SASL client nonce");
    return Base64Encode(std::string_view(reinterpret_cast<const char*>(bytes), NonceBytes));
}
