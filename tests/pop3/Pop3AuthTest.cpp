// Logins against the scripted POP3 server: the SASL mechanisms of AUTH with
// the RFCs' example exchanges byte for byte, what the log shows of every way
// a secret is sent, response codes, and a second login after a refused one.
// The same mechanisms against a real server are in DovecotTest.cpp.
#include "pop3/Base64.h"
#include "pop3/Pop3Prot.h"
#include "tests/support/Pop3Peer.h"

#include <gtest/gtest.h>

using testsupport::Pop3EventLog;
using testsupport::Pop3Peer;

namespace {

using Sync = TSyncPop3Cli;
using Call = bool (Sync::*)();

// SCRAM's client nonce is the one of RFC 7677 section 3's example.
struct RfcNonceClient : TSyncPop3Cli {
    std::string SaslClientNonce() override { return "rOprNGfwEbeRWgbNEkqO"; }
};

std::string B64(const std::string& Bytes)
{
    return Base64Encode(Bytes);
}

const std::string Greeting = "+OK POP3 server ready <1896.697170952@dbc.mtview.ca.us>";
// RFC 7677 section 3 (user "user", password "pencil").
const std::string ScramServerFirst =
    "r=rOprNGfwEbeRWgbNEkqO%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=4096";
const std::string ScramClientFinal = "c=biws,r=rOprNGfwEbeRWgbNEkqO%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0,"
                                     "p=dHzbZapWIk4jUhN+Ute9ytag9zjfMHgsqmmiz7AndVQ=";
const std::string ScramAuth = "AUTH SCRAM-SHA-256 " + B64("n,,n=user,r=rOprNGfwEbeRWgbNEkqO") + "\r\n";
const std::string ScramStart = ScramAuth + B64(ScramClientFinal) + "\r\n";
const std::string Refused = "-ERR [AUTH] Authentication failed.";
const std::string LongToken(300, 't');

// One login: the server answers each client line in turn with the next of
// Replies, then waits. Checked: the exact lines the server received, every
// OnDisplay text after the greeting's, and the outcome: T or F per call,
// then ErrorMessage, ResponseCode and ProtocolState.
struct Exchange {
    const char* Name;
    const char* Mechanism;
    std::string User, Password;
    std::vector<std::string> Replies;
    std::string Transcript, Shown, Outcome;
    std::vector<Call> Calls = {&Sync::SyncAuth};
    // For a transcript that holds the server's port: made from it.
    std::string (*TranscriptFor)(const std::string& Port) = nullptr;
};

void PrintTo(const Exchange& e, std::ostream* os)
{
    *os << e.Name;
}

const std::string Ok = "|pop3Transaction";
const std::string WaitingUser = "|pop3WaitingUser";

const Exchange Exchanges[] = {
    // RFC 4616 section 4's credentials, sent as the initial response.
    {"PlainRfc4616", "plain", "tim", "tanstaaftanstaaf", {"+OK"}, "AUTH PLAIN AHRpbQB0YW5zdGFhZnRhbnN0YWFm\r\n",
     "> AUTH PLAIN ********|< +OK|", "T|" + Ok},
    {"Login", "LOGIN", "tim", "tanstaaftanstaaf", {"+ VXNlcm5hbWU6", "+ UGFzc3dvcmQ6", "+OK"},
     "AUTH LOGIN\r\ndGlt\r\ndGFuc3RhYWZ0YW5zdGFhZg==\r\n",
     "> AUTH LOGIN|< + VXNlcm5hbWU6|> ********|< + UGFzc3dvcmQ6|> ********|< +OK|", "T|" + Ok},
    // RFC 2195 section 2's example.
    {"CramMd5Rfc2195", "CRAM-MD5", "tim", "tanstaaftanstaaf",
     {"+ PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+", "+OK"},
     "AUTH CRAM-MD5\r\ndGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw\r\n",
     "> AUTH CRAM-MD5|< + PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+|> ********|< +OK|", "T|" + Ok},
    // RFC 7677 section 3's example; the server's signature is answered
    // with the empty response before the server's "+OK".
    {"ScramSha256Rfc7677", "SCRAM-SHA-256", "user", "pencil",
     {"+ " + B64(ScramServerFirst), "+ " + B64("v=6rriTRBi23WpRR/wtup+mMhUZUn/dB5nLTJRsjl95G4="), "+OK"},
     ScramStart + "\r\n",
     "> AUTH SCRAM-SHA-256 ********|< + " + B64(ScramServerFirst) + "|> ********|< + " +
         B64("v=6rriTRBi23WpRR/wtup+mMhUZUn/dB5nLTJRsjl95G4=") + "|> ********|< +OK|",
     "T|" + Ok},
    {"ScramWrongServerSignatureCancels", "SCRAM-SHA-256", "user", "pencil",
     {"+ " + B64(ScramServerFirst), "+ " + B64("v=7rriTRBi23WpRR/wtup+mMhUZUn/dB5nLTJRsjl95G4="), "-ERR cancelled"},
     ScramStart + "*\r\n",
     "> AUTH SCRAM-SHA-256 ********|< + " + B64(ScramServerFirst) + "|> ********|< + " +
         B64("v=7rriTRBi23WpRR/wtup+mMhUZUn/dB5nLTJRsjl95G4=") +
         "|-ERR SCRAM-SHA-256: the server's signature is wrong (it does not know the password)|> ********|"
         "< -ERR cancelled|",
     "F-ERR SCRAM-SHA-256: the server's signature is wrong (it does not know the password)|" + WaitingUser},
    // A server that says "+OK" without proving itself is not trusted: the
    // login fails, whatever follows, and the client closes the connection.
    {"ScramSuccessWithoutSignatureFails", "SCRAM-SHA-256", "user", "pencil",
     {"+ " + B64(ScramServerFirst), "+OK\r\n+OK"}, ScramStart,
     "> AUTH SCRAM-SHA-256 ********|< + " + B64(ScramServerFirst) + "|> ********|< +OK|"
     "-ERR SCRAM-SHA-256: the server ended the exchange without proving that it knows the password|< +OK|",
     "F-ERR SCRAM-SHA-256: the server ended the exchange without proving that it knows the password||"
     "pop3Disconnected"},
    {"ScramNonceNotOursCancels", "SCRAM-SHA-256", "user", "pencil",
     {"+ " + B64("r=someoneelse,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=4096"), "-ERR [AUTH] cancelled"}, ScramAuth + "*\r\n",
     "> AUTH SCRAM-SHA-256 ********|< + " + B64("r=someoneelse,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=4096") +
         "|-ERR SCRAM-SHA-256: the server's nonce does not extend ours|> ********|< -ERR [AUTH] cancelled|",
     "F-ERR SCRAM-SHA-256: the server's nonce does not extend ours|AUTH" + WaitingUser},
    {"XOAuth2TokenAccepted", "XOAUTH2", "tim", "tok", {"+OK"}, "AUTH XOAUTH2 dXNlcj10aW0BYXV0aD1CZWFyZXIgdG9rAQE=\r\n",
     "> AUTH XOAUTH2 ********|< +OK|", "T|" + Ok},
    // The error challenge is answered with the empty response; the status
    // of its JSON is the error text.
    {"XOAuth2TokenRefused", "XOAUTH2", "tim", "tok",
     {"+ eyJzdGF0dXMiOiI0MDEiLCJzY2hlbWVzIjoiYmVhcmVyIiwic2NvcGUiOiJtYWlsIn0=", Refused},
     "AUTH XOAUTH2 dXNlcj10aW0BYXV0aD1CZWFyZXIgdG9rAQE=\r\n\r\n",
     "> AUTH XOAUTH2 ********|< + eyJzdGF0dXMiOiI0MDEiLCJzY2hlbWVzIjoiYmVhcmVyIiwic2NvcGUiOiJtYWlsIn0=|"
     "-ERR XOAUTH2 token refused: 401|> ********|< " + Refused + "|",
     "F-ERR XOAUTH2 token refused: 401|AUTH" + WaitingUser},
    // RFC 7628 section 3.1 and 3.2.3: host and port, and ^A for the error.
    {"OAuthBearerTokenRefused", "oauthbearer", "tim,a=b", "tok",
     {"+ eyJzdGF0dXMiOiJpbnZhbGlkX3Rva2VuIn0=", Refused},
     "",
     "> AUTH OAUTHBEARER ********|< + eyJzdGF0dXMiOiJpbnZhbGlkX3Rva2VuIn0=|"
     "-ERR OAUTHBEARER token refused: invalid_token|> ********|< " + Refused + "|",
     "F-ERR OAUTHBEARER token refused: invalid_token|AUTH" + WaitingUser, {&Sync::SyncAuth},
     [](const std::string& Port) {
         return "AUTH OAUTHBEARER " + B64("n,a=tim=2Ca=3Db,\1host=127.0.0.1\1port=" + Port + "\1auth=Bearer tok\1\1") +
                "\r\nAQ==\r\n";
     }},
    // A command line may not pass 255 octets: the long initial response
    // answers the server's first, empty challenge instead.
    {"LongInitialResponseWaitsForTheChallenge", "XOAUTH2", "tim", LongToken, {"+ ", "+OK"},
     "AUTH XOAUTH2\r\n" + B64("user=tim\1auth=Bearer " + LongToken + "\1\1") + "\r\n",
     "> AUTH XOAUTH2|< + |> ********|< +OK|", "T|" + Ok},
    {"PlainChallengedAfterItsResponseCancels", "PLAIN", "tim", "tanstaaftanstaaf", {"+ ", "-ERR"},
     "AUTH PLAIN AHRpbQB0YW5zdGFhZnRhbnN0YWFm\r\n*\r\n",
     "> AUTH PLAIN ********|< + |-ERR PLAIN: unexpected challenge|> ********|< -ERR|",
     "F-ERR PLAIN: unexpected challenge|" + WaitingUser},
    {"ChallengeNotBase64Cancels", "LOGIN", "tim", "x", {"+ VXNlcm5hbWU6=", "-ERR"}, "AUTH LOGIN\r\n*\r\n",
     "> AUTH LOGIN|< + VXNlcm5hbWU6=|-ERR SASL challenge is not base64|> ********|< -ERR|",
     "F-ERR SASL challenge is not base64|" + WaitingUser},
    // Refused before anything is sent.
    {"UnknownMechanism", "DIGEST-MD5", "tim", "x", {}, "",
     "-ERR Unknown SASL mechanism \"DIGEST-MD5\" (known: PLAIN LOGIN CRAM-MD5 SCRAM-SHA-256 XOAUTH2 OAUTHBEARER)|",
     "F-ERR Unknown SASL mechanism \"DIGEST-MD5\" (known: PLAIN LOGIN CRAM-MD5 SCRAM-SHA-256 XOAUTH2 OAUTHBEARER)|" +
         WaitingUser},
    {"MechanismTheServerDoesNotOffer", "cram-md5", "tim", "x", {"+OK\r\nTOP\r\nSASL PLAIN LOGIN\r\n."}, "CAPA\r\n",
     "> CAPA|< +OK|-ERR The server does not offer SASL CRAM-MD5 (it offers PLAIN LOGIN)|",
     "TF-ERR The server does not offer SASL CRAM-MD5 (it offers PLAIN LOGIN)|" + WaitingUser,
     {&Sync::SyncCapa, &Sync::SyncAuth}},
    {"AuthAfterUserIsRefused", "PLAIN", "tim", "x", {"+OK"}, "USER tim\r\n",
     "> USER tim|< +OK|-ERR AUTH command invalid now|", "TF-ERR AUTH command invalid now||pop3WaitingPass",
     {&Sync::SyncUser, &Sync::SyncAuth}},
    // The other ways a secret goes out, and a second login in the same
    // session after a refused one: the server is back in AUTHORIZATION and
    // expects USER (or APOP, or AUTH) again.
    {"PassRefusedThenUserAndPassAgain", "", "tim", "tanstaaf", {"+OK", "-ERR [AUTH] no", "+OK", "+OK"},
     "USER tim\r\nPASS tanstaaf\r\nUSER tim\r\nPASS tanstaaf\r\n",
     "> USER tim|< +OK|> PASS ********|< -ERR [AUTH] no|> USER tim|< +OK|> PASS ********|< +OK|",
     "TFTT-ERR [AUTH] no|" + Ok, {&Sync::SyncUser, &Sync::SyncPass, &Sync::SyncUser, &Sync::SyncPass}},
    {"RpopRefusedThenApop", "", "mrose", "tanstaaf", {"+OK", "-ERR [SYS/TEMP] later", "+OK"},
     "USER mrose\r\nRPOP tanstaaf\r\nAPOP mrose c4c9334bac560ecc979e58001b3e22fb\r\n",
     "> USER mrose|< +OK|> RPOP ********|< -ERR [SYS/TEMP] later|> APOP mrose ********|< +OK|",
     "TFT-ERR [SYS/TEMP] later|" + Ok, {&Sync::SyncUser, &Sync::SyncRPop, &Sync::SyncAPop}},
    {"AuthRefusedThenApopRefusedThenAuth", "PLAIN", "tim", "tanstaaftanstaaf",
     {"-ERR [IN-USE] busy", "-ERR [LOGIN-DELAY] wait", "+OK"},
     "AUTH PLAIN AHRpbQB0YW5zdGFhZnRhbnN0YWFm\r\nAPOP tim 37517402d6b6d7ada3d4f84c36854c32\r\n"
     "AUTH PLAIN AHRpbQB0YW5zdGFhZnRhbnN0YWFm\r\n",
     "> AUTH PLAIN ********|< -ERR [IN-USE] busy|> APOP tim ********|< -ERR [LOGIN-DELAY] wait|"
     "> AUTH PLAIN ********|< +OK|",
     "FFT-ERR [IN-USE] busy|" + Ok, {&Sync::SyncAuth, &Sync::SyncAPop, &Sync::SyncAuth}},
};

class AuthExchanges : public testing::TestWithParam<Exchange> {};

TEST_P(AuthExchanges, TranscriptLogAndOutcome)
{
    const Exchange& e = GetParam();
    Pop3Peer peer;
    peer.Reply(Greeting);
    for (const std::string& reply : e.Replies)
        peer.Answer(reply);
    peer.WaitFor("end");
    peer.Start();

    RfcNonceClient client;
    client.SetHost("127.0.0.1");
    client.SetPort(peer.PortText());
    client.SetUserName(e.User);
    client.SetPassWord(e.Password);
    client.SetAuthMechanism(e.Mechanism);
    ASSERT_TRUE(client.SyncConnect());
    Pop3EventLog log;
    log.Attach(client);
    std::vector<std::string> responses;
    client.OnResponse = [&](TObject*, const std::string& Msg) { responses.push_back(Msg); };
    std::string outcome;
    for (Call call : e.Calls)
        outcome += (client.*call)() ? "T" : "F";
    outcome += client.ErrorMessage() + "|" + client.ResponseCode() + "|" +
               Pop3ProtocolStateName(client.ProtocolState());
    EXPECT_EQ(outcome, e.Outcome);

    std::string shown;
    for (const std::string& line : log.Only("display "))
        shown += line.substr(8) + "|";
    EXPECT_EQ(shown, e.Shown);
    peer.Signal("end");
    EXPECT_TRUE(peer.Join());
    EXPECT_EQ(peer.Transcript(), e.TranscriptFor ? e.TranscriptFor(peer.PortText()) : e.Transcript);
    // The server's lines reach OnResponse as they came; nothing else does.
    for (const std::string& line : responses)
        EXPECT_EQ(line.find(e.Password.empty() ? "\n" : e.Password), std::string::npos) << line;
}

INSTANTIATE_TEST_SUITE_P(Pop3Auth, AuthExchanges, testing::ValuesIn(Exchanges),
                         [](const auto& info) { return std::string(info.param.Name); });

// RFC 4648 section 10's vectors both ways; malformed text is refused.
TEST(Pop3Auth, Base64)
{
    const char* vectors[][2] = {{"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},        {"foo", "Zm9v"},
                                {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}};
    std::string bytes;
    for (const auto& v : vectors) {
        EXPECT_EQ(Base64Encode(v[0]), v[1]);
        EXPECT_TRUE(Base64Decode(v[1], bytes) && bytes == v[0]) << v[1];
    }
    EXPECT_TRUE(Base64Decode("AP/+", bytes) && bytes == std::string("\0\xff\xfe", 3));
    for (const char* bad : {"Zg=", "Zg", "Zh==", "Zm9=", "Z===", "Zg==Zg==", "Zm9v YmFy", "Zm9\n", "Zm9v*A==", "=Zm9"})
        EXPECT_FALSE(Base64Decode(bad, bytes)) << bad;
}

// The status of an OAuth2 error challenge (RFC 7628 section 3.2.2), and
// SCRAM's escaping of names (RFC 5802 section 5.1).
TEST(Pop3Auth, SaslTexts)
{
    EXPECT_EQ(OAuth2ErrorStatus(R"({"status":"401","schemes":"bearer","scope":"mail"})"), "401");
    EXPECT_EQ(OAuth2ErrorStatus(R"({ "scope" : "x", "status" : "invalid_token" })"), "invalid_token");
    EXPECT_EQ(OAuth2ErrorStatus(R"({"status": 400})"), "400");
    EXPECT_EQ(OAuth2ErrorStatus(R"({"status":"a\"b"})"), "a\"b");
    EXPECT_EQ(OAuth2ErrorStatus(R"({"error":"x"})"), R"({"error":"x"})");
    EXPECT_EQ(OAuth2ErrorStatus(std::string(500, 'x')), std::string(200, 'x'));
    EXPECT_EQ(SaslName("a=b,c"), "a=3Db=2Cc");
    for (const std::string& name : TSaslMechanism::Names())
        EXPECT_EQ(TSaslMechanism::Create(name, {})->Name(), name);
    EXPECT_EQ(TSaslMechanism::Create("scram-sha-1", {}), nullptr);
}

} // namespace
