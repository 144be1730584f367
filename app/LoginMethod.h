// How the check logs in: the settings key "Account"/"Login" and its values,
// what a server offers, and the choice "auto" makes from that. No Qt and no
// client here: the window hands in what the server said.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The values of "Login", in the order of the dialog's choice.
enum TLoginMethod : uint8_t {
    loginUser, // USER and PASS (RFC 1939), the default
    loginAuto, // the strongest the server offers (ChooseLogin)
    loginApop, // APOP (RFC 1939 section 7)
    loginPlain, // SASL mechanisms (RFC 5034) from here on
    loginLogin,
    loginCramMd5,
    loginScramSha256,
    loginXOAuth2,
    loginOAuthBearer,
};
constexpr int kLoginMethodCount = loginOAuthBearer + 1;

// The settings value: "user", "auto", "apop", "plain", "login", "cram-md5",
// "scram-sha-256", "xoauth2", "oauthbearer".
const char* LoginMethodValue(TLoginMethod Method);
// The method of a settings value (blanks around it and letter case
// ignored); none when the text names no method.
std::optional<TLoginMethod> LoginMethodOfValue(std::string_view Value);
// The SASL name for AUTH ("SCRAM-SHA-256"); nullptr for user, auto and apop.
const char* LoginSaslName(TLoginMethod Method);
// The name the log and the messages use: "USER/PASS", "APOP", "PLAIN", ...
std::string LoginMethodName(TLoginMethod Method);
// Whether the method sends the password (or a token) itself, readable by
// anyone who sees the connection: USER/PASS, PLAIN, LOGIN and the OAuth2
// mechanisms. APOP, CRAM-MD5 and SCRAM-SHA-256 send only proofs of it.
bool LoginSendsSecret(TLoginMethod Method);

// What a server offers for the login, from its greeting and its CAPA reply.
struct TLoginOffers {
    // Whether a CAPA reply came (RFC 2449); without one nothing but the
    // greeting is known, and USER is taken as offered (RFC 1939).
    bool Known = false;
    bool User = false;     // CAPA listed USER
    bool Apop = false;     // the greeting carried a timestamp
    std::vector<std::string> Sasl; // CAPA's SASL line, as the server wrote it
};

// Whether the server offers the method. USER/PASS is always tried when it
// is the choice (servers accept it without listing it); a SASL mechanism is
// taken as offered when the server's offer is unknown (it then decides).
bool LoginOffered(TLoginMethod Method, const TLoginOffers& Offers);
// What the server offers, for a message: "USER/PASS, APOP, PLAIN, LOGIN";
// empty when it offers nothing this client knows of. USER/PASS appears
// when CAPA listed USER or no CAPA reply came; unknown SASL names as sent.
std::string LoginOffersText(const TLoginOffers& Offers);

// The choice of "auto": SCRAM-SHA-256, CRAM-MD5, APOP (greeting with a
// timestamp), then PLAIN, then USER/PASS (listed in CAPA, or no CAPA reply)
// — the first the server offers. Without TLS only those that never send the
// password are taken (SCRAM-SHA-256, CRAM-MD5, APOP). None when nothing
// fits.
std::optional<TLoginMethod> ChooseLogin(const TLoginOffers& Offers, bool Encrypted);
