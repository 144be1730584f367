#include "tests/support/Dovecot.h"

#include "tests/support/Mailbox.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

#ifndef QUILLBOX_SOURCE_DIR
#error "QUILLBOX_SOURCE_DIR must name the source tree (it holds scripts/dovecot-run)"
#endif

namespace testsupport {

namespace {

constexpr int StartDeadlineMs = 10000;
constexpr int StopDeadlineMs = 5000;
constexpr int PortAttempts = 3;

// A port on 127.0.0.1 that nothing listens on at the moment of the call.
uint16_t FreePort()
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        if (fd >= 0)
            ::close(fd);
        throw std::runtime_error("Dovecot: no free port on 127.0.0.1");
    }
    ::close(fd);
    return ntohs(a.sin_port);
}

// True when a connection to the port is greeted with "+OK" within 2 s: the
// server is up and the port is really ours, not another program's.
bool Greets(uint16_t port)
{
    int fd = ConnectLoopback(port);
    if (fd < 0)
        return false;
    pollfd p{fd, POLLIN, 0};
    char buf[3];
    bool ok = ::poll(&p, 1, 2000) > 0 && ::recv(fd, buf, sizeof buf, MSG_WAITALL) == 3 &&
              std::string(buf, 3) == "+OK";
    ::close(fd);
    return ok;
}

std::filesystem::path MakeTempDir()
{
    // Under root the mail user (nobody) must reach the folder, so a private
    // TMPDIR such as /root/tmp is not used then.
    const char* env = std::getenv("TMPDIR");
    std::string base = (::geteuid() != 0 && env && *env) ? env : "/tmp";
    std::string templ = base + "/quillbox-dovecot-XXXXXX";
    if (!::mkdtemp(templ.data()))
        throw std::runtime_error("Dovecot: cannot create a folder in " + base);
    return templ;
}

} // namespace

Dovecot::Dovecot(size_t count, uint32_t seed, std::string introspectionUrl)
    : Dovecot([count, seed](const std::filesystem::path& maildir) { WriteMaildir(maildir, count, seed); }, nullptr,
              std::move(introspectionUrl))
{
}

Dovecot::Dovecot(const std::vector<std::string>& messages)
    : Dovecot([&messages](const std::filesystem::path& maildir) { WriteMaildir(maildir, messages); }, nullptr, {})
{
}

Dovecot::Dovecot(size_t count, uint32_t seed, const DovecotTls& tls, std::string introspectionUrl)
    : Dovecot([count, seed](const std::filesystem::path& maildir) { WriteMaildir(maildir, count, seed); }, &tls,
              std::move(introspectionUrl))
{
}

Dovecot::Dovecot(const std::function<void(const std::filesystem::path&)>& fillMaildir, const DovecotTls* tls,
                 std::string introspectionUrl)
    : FDir(MakeTempDir()), FIntrospectionUrl(std::move(introspectionUrl))
{
    try {
        fillMaildir(Maildir());
        if (tls) {
            // scripts/dovecot-run turns TLS on when it finds these.
            std::filesystem::create_directory(FDir / "ssl");
            std::filesystem::copy_file(tls->Cert, FDir / "ssl/cert.pem");
            std::filesystem::copy_file(tls->Key, FDir / "ssl/key.pem");
            std::filesystem::copy_file(tls->Dh, FDir / "ssl/dh.pem");
            FWithTls = true;
        }
        Start();
    } catch (...) {
        std::error_code ec;
        std::filesystem::remove_all(FDir, ec);
        throw;
    }
}

Dovecot::~Dovecot()
{
    // The server leads its process group; signalling the whole group ends
    // every process at once (the master alone takes about a second to wind
    // its children down).
    FProcess.Stop(StopDeadlineMs);
    std::error_code ec;
    std::filesystem::remove_all(FDir, ec);
}

void Dovecot::Start()
{
    std::string failure;
    for (int attempt = 0; attempt < PortAttempts; ++attempt) {
        if (Launch(FreePort(), failure))
            return;
        // Another program may have taken the port between our probe and the
        // server's bind; only that case is worth another port.
        if (Log().find("Address already in use") == std::string::npos)
            break;
    }
    throw std::runtime_error("Dovecot did not start: " + failure + "\n--- log ---\n" + Log());
}

bool Dovecot::Launch(uint16_t port, std::string& failure)
{
    const std::string script = std::string(QUILLBOX_SOURCE_DIR) + "/scripts/dovecot-run";
    FPort = port;
    std::vector<std::string> argv = {"/bin/bash", script, "exec", FDir.string(), std::to_string(port)};
    FTlsPort = 0;
    if (FWithTls) {
        do
            FTlsPort = FreePort();
        while (FTlsPort == port);
    }
    if (FWithTls || !FIntrospectionUrl.empty())
        argv.push_back(std::to_string(FTlsPort));
    if (!FIntrospectionUrl.empty())
        argv.push_back(FIntrospectionUrl);
    const uint16_t tlsPort = FTlsPort;
    if (FProcess.Start(argv, (FDir / "dovecot.out").string(),
                       [port, tlsPort] { return Greets(port) && (tlsPort == 0 || Accepts(tlsPort)); },
                       StartDeadlineMs, failure))
        return true;
    failure = "Dovecot on port " + std::to_string(port) + ": " + failure;
    return false;
}

std::vector<std::filesystem::path> Dovecot::MessageFiles() const
{
    return MaildirMessages(Maildir());
}

std::string Dovecot::Log() const
{
    return ReadFileBytes(FDir / "dovecot.out") + ReadFileBytes(FDir / "dovecot.log");
}

} // namespace testsupport
