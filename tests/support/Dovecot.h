// A private Dovecot POP3 server on 127.0.0.1 for integration tests and the
// benchmark. Each instance makes a fresh temporary folder, writes its mailbox
// there, and runs `scripts/dovecot-run exec` (which holds the configuration)
// as a child process on a free port. The constructor returns once the server
// has greeted a connection; the destructor stops it by its process id (the
// process group that the server leads) and removes the folder.
//
// Works as root (the mail user is then nobody and owns the mailbox, so DELE
// really deletes) and as an ordinary user. The server is also asked to die
// with the thread that started it (PR_SET_PDEATHSIG), so a test killed by
// its time limit leaves no server behind: create it on a thread that lives
// as long as the instance.
#pragma once

#include "tests/support/ChildProcess.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace testsupport {

// A certificate, its key and DH parameters (scripts/make-pki makes them)
// for a server with TLS: STLS on the plain port and POP3S on TlsPort().
struct DovecotTls {
    std::filesystem::path Cert, Key, Dh;
};

class Dovecot {
public:
    // Both constructors throw std::runtime_error, with the server's log in
    // its text, when the server does not start within 10 seconds.
    // A mailbox of `count` generated messages (Mailbox.h) made from `seed`.
    // With the URL of a token-introspection endpoint (TokenIntrospection.h),
    // the server also takes XOAUTH2 and OAUTHBEARER logins, checked there.
    explicit Dovecot(size_t count = 0, uint32_t seed = 1, std::string introspectionUrl = {});
    // A mailbox holding exactly these message contents, in this order.
    explicit Dovecot(const std::vector<std::string>& messages);
    // The generated mailbox, served with TLS as well (and, with the URL, with
    // the OAuth2 logins too).
    Dovecot(size_t count, uint32_t seed, const DovecotTls& tls, std::string introspectionUrl = {});
    ~Dovecot();
    Dovecot(const Dovecot&) = delete;
    Dovecot& operator=(const Dovecot&) = delete;

    const std::string& Host() const { return FHost; }
    uint16_t Port() const { return FPort; }
    std::string PortText() const { return std::to_string(FPort); }
    // The POP3S port; 0 without TLS.
    uint16_t TlsPort() const { return FTlsPort; }
    std::string TlsPortText() const { return std::to_string(FTlsPort); }
    const std::string& User() const { return FUser; }
    const std::string& Password() const { return FPassword; }
    pid_t Pid() const { return FProcess.Pid(); }

    const std::filesystem::path& Dir() const { return FDir; }
    std::filesystem::path Maildir() const { return FDir / "Maildir"; }
    // The message files now in the Maildir's cur/, in message order.
    std::vector<std::filesystem::path> MessageFiles() const;
    // The server's log and whatever it printed.
    std::string Log() const;

private:
    Dovecot(const std::function<void(const std::filesystem::path&)>& fillMaildir, const DovecotTls* tls,
            std::string introspectionUrl);
    void Start();
    bool Launch(uint16_t port, std::string& failure);
    bool FWithTls = false;
    uint16_t FTlsPort = 0;

    std::string FHost = "127.0.0.1";
    std::string FUser = "demo";
    std::string FPassword = "tqrnbzxa";
    std::filesystem::path FDir;
    std::string FIntrospectionUrl;
    uint16_t FPort = 0;
    ChildProcess FProcess;
};

} // namespace testsupport
