// An OAuth2 token-introspection endpoint (RFC 7662) on 127.0.0.1 for
// Dovecot's oauth2 passdb (Dovecot.h): tests/support/oauth2-introspect.py,
// run with Debian's Python as a child process in a temporary folder. For
// the user it is made for, Valid() is an active token and Expired() one that
// expired an hour ago; every other token is inactive. The constructor
// returns once the endpoint accepts connections, or throws
// std::runtime_error with its output after 10 seconds; the destructor stops
// it by its process id and removes the folder.
#pragma once

#include "tests/support/ChildProcess.h"

#include <cstdint>
#include <filesystem>
#include <string>

namespace testsupport {

class TokenIntrospection {
public:
    explicit TokenIntrospection(const std::string& user = "demo");
    ~TokenIntrospection();
    TokenIntrospection(const TokenIntrospection&) = delete;
    TokenIntrospection& operator=(const TokenIntrospection&) = delete;

    // What Dovecot's oauth2 passdb posts the token to.
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(FPort) + "/introspect"; }
    const std::string& Valid() const { return FValid; }
    const std::string& Expired() const { return FExpired; }
    // What it printed: "listening PORT", then one line per request it
    // answered ("introspect /introspect active" or "... inactive").
    std::string Log() const;

private:
    std::filesystem::path FDir;
    std::string FValid = "ya29.valid-token-of-the-demo-user";
    std::string FExpired = "ya29.expired-token-of-the-demo-user";
    uint16_t FPort = 0;
    ChildProcess FProcess;
};

} // namespace testsupport
