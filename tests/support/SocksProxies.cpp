#include "tests/support/SocksProxies.h"

#include "tests/support/ScriptedPeer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace testsupport {

namespace {

constexpr int StartDeadlineMs = 10000;
constexpr int StopDeadlineMs = 3000;
// A free port can be taken by someone else between the probe and the
// proxy's bind; another port is tried then.
constexpr int LaunchAttempts = 3;

bool Accepts(uint16_t port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

std::string ReadFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

} // namespace

const char* ProxyKindName(ProxyKind kind)
{
    switch (kind) {
    case ProxyKind::Microsocks: return "microsocks";
    case ProxyKind::Dante: return "dante";
    case ProxyKind::Twisted: return "twisted";
    }
    return "?";
}

SocksProxy::SocksProxy(ProxyKind kind, const std::string& user, const std::string& password)
{
    std::string templ = (std::filesystem::temp_directory_path() / "quillbox-proxy-XXXXXX").string();
    if (!::mkdtemp(templ.data()))
        throw std::runtime_error("mkdtemp failed");
    FDir = templ;
    for (int attempt = 0; attempt < LaunchAttempts; ++attempt) {
        FPort = UnusedPort();
        if (kind == ProxyKind::Dante)
            WriteDanteConfig();
        if (Launch(CommandLine(kind, user, password)))
            return;
    }
    std::string output = Output();
    std::filesystem::remove_all(FDir);
    throw std::runtime_error(std::string(ProxyKindName(kind)) + " did not start:\n" + output);
}

SocksProxy::~SocksProxy()
{
    Stop();
    std::error_code ignored;
    std::filesystem::remove_all(FDir, ignored);
}

std::vector<std::string> SocksProxy::CommandLine(ProxyKind kind, const std::string& user,
                                                 const std::string& password)
{
    const std::string dir = FDir.string();
    switch (kind) {
    case ProxyKind::Microsocks: {
        std::vector<std::string> argv = {"/usr/bin/microsocks", "-i", "127.0.0.1", "-p", PortText(),
                                         "-b", "127.0.0.1"};
        if (!user.empty())
            argv.insert(argv.end(), {"-u", user, "-P", password});
        return argv;
    }
    case ProxyKind::Dante:
        return {"/usr/sbin/danted", "-f", dir + "/danted.conf", "-p", dir + "/danted.pid", "-N", "1"};
    case ProxyKind::Twisted:
        // Debian's Python, whatever else PATH offers; the plugin's -l option
        // is left out (it breaks relaying).
        return {"/usr/bin/python3", "-m", "twisted", "--log-file", dir + "/twisted.log",
                "--log-format", "text", "socks", "-i", "127.0.0.1", "-p", PortText()};
    }
    return {};
}

// Loopback only: clients from 127/8 may connect to destinations in 127/8.
void SocksProxy::WriteDanteConfig() const
{
    const bool root = ::getuid() == 0;
    std::ofstream conf(FDir / "danted.conf");
    conf << "logoutput: " << (FDir / "danted.log").string() << "\n"
         << "internal: 127.0.0.1 port = " << FPort << "\n"
         << "external: 127.0.0.1\n"
         << "clientmethod: none\n"
         << "socksmethod: none\n";
    if (root)
        conf << "user.privileged: root\n"
             << "user.unprivileged: nobody\n";
    conf << "client pass {\n"
            "  from: 127.0.0.0/8 to: 0.0.0.0/0\n"
            "}\n"
            "socks pass {\n"
            "  from: 127.0.0.0/8 to: 127.0.0.0/8\n"
            "  command: connect\n"
            "}\n"
            "socks block {\n"
            "  from: 0.0.0.0/0 to: 0.0.0.0/0\n"
            "}\n";
}

bool SocksProxy::Launch(const std::vector<std::string>& argv)
{
    // Everything the child needs is made before fork.
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const std::string outputPath = (FDir / "output.log").string();
    const pid_t parent = ::getpid();

    const pid_t pid = ::fork();
    if (pid < 0)
        return false;
    if (pid == 0) {
        // Its own process group, so that Stop reaches the proxy's children.
        ::setpgid(0, 0);
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(127);
        int out = ::open(outputPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (out >= 0) {
            ::dup2(out, STDOUT_FILENO);
            ::dup2(out, STDERR_FILENO);
        }
        int in = ::open("/dev/null", O_RDONLY);
        if (in >= 0)
            ::dup2(in, STDIN_FILENO);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ::setpgid(pid, pid);
    FPid = pid;

    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(StartDeadlineMs);
    while (std::chrono::steady_clock::now() < deadline) {
        if (::waitpid(pid, nullptr, WNOHANG) == pid) {
            FPid = -1;
            return false;
        }
        if (Accepts(FPort))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    Stop();
    return false;
}

void SocksProxy::Stop()
{
    if (FPid <= 0)
        return;
    ::kill(-FPid, SIGTERM);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(StopDeadlineMs);
    while (::waitpid(FPid, nullptr, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(-FPid, SIGKILL);
            ::waitpid(FPid, nullptr, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // Children that outlived their parent's exit.
    ::kill(-FPid, SIGKILL);
    FPid = -1;
}

std::string SocksProxy::Output() const
{
    std::string out;
    for (const char* name : {"output.log", "danted.log", "twisted.log"}) {
        auto path = FDir / name;
        if (std::filesystem::exists(path))
            out += "--- " + std::string(name) + "\n" + ReadFile(path);
    }
    return out;
}

} // namespace testsupport
