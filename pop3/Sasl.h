// SASL client mechanisms (RFC 4422) for the POP3 AUTH command (RFC 5034):
// PLAIN (RFC 4616), LOGIN, CRAM-MD5 (RFC 2195), SCRAM-SHA-256 (RFC 7677,
// RFC 5802), XOAUTH2 and OAUTHBEARER (RFC 7628). One object runs one
// exchange: the engine sends its initial response, hands it each server
// challenge (already decoded from base64) and sends back what it answers.
// The mechanisms know nothing of POP3 or of the wire encoding.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct TSaslCredentials {
    // The authentication identity (RFC 4422 section 2).
    std::string User;
    // The password, or the OAuth2 access token for XOAUTH2 and OAUTHBEARER.
    std::string Password;
    // Where the client connected, for OAUTHBEARER's host and port.
    std::string Host;
    std::string Port;
    // SCRAM's client nonce (RFC 5802 section 5.1 "r"): printable, no ",".
    std::string ClientNonce;
};

// What the client answers to a challenge.
struct TSaslAnswer {
    // The response, raw; the engine encodes it.
    std::string Response;
    // Cancel the exchange (RFC 5034 section 4: the client sends "*") instead
    // of answering: the challenge makes no sense or the server failed to
    // prove itself.
    bool Cancel = false;
    // Why the login fails, when it does (a cancel, or the error an OAuth2
    // server reported): a text for the log and ErrorMessage.
    std::string Error;
};

class TSaslMechanism {
public:
    virtual ~TSaslMechanism() = default;

    // The mechanism of that name (compared without regard to case), or none
    // when the name is not one of Names().
    static std::unique_ptr<TSaslMechanism> Create(std::string_view Name, const TSaslCredentials& Credentials);
    // The mechanisms Create knows, by their names as the RFCs write them.
    static const std::vector<std::string>& Names();

    // The name as the RFCs write it, sent with AUTH.
    const char* Name() const { return FName; }
    // The client's first message for mechanisms where the client speaks
    // first; none where the server does.
    virtual std::optional<std::string> InitialResponse() { return std::nullopt; }
    // The answer to the next server challenge.
    virtual TSaslAnswer Respond(const std::string& Challenge) = 0;
    // Whether the exchange may end in success now. SCRAM holds this back
    // until the server's signature has been verified (RFC 5802 section 5).
    virtual bool MaySucceed() const { return true; }

    TSaslMechanism(const char* Name, const TSaslCredentials& Credentials) : FName(Name), FCredentials(Credentials) {}

protected:
    static TSaslAnswer Refuse(std::string Why);
    // A challenge after the mechanism has said all it has to say.
    TSaslAnswer Unexpected() const;

    const char* FName;
    TSaslCredentials FCredentials;
    // Challenges answered so far.
    int FStep = 0;
};

// SCRAM's saslname (RFC 5802 section 5.1): "=" as "=3D" and "," as "=2C".
std::string SaslName(std::string_view Name);

// The value of "status" in an OAuth2 error challenge (RFC 7628 section
// 3.2.2, a JSON object), or the challenge itself, cut to a readable length,
// when it has none.
std::string OAuth2ErrorStatus(std::string_view Json);
