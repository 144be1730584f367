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
#include <vector>

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;

bool Accepts(uint16_t port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

// Loopback only: clients from 127/8 may connect to destinations in 127/8.
// Each rule is a block over several lines, as dante requires.
void WriteDanteConfig(const std::filesystem::path& file, uint16_t port)
{
    std::ofstream conf(file);
    conf << "logoutput: stderr\ninternal: 127.0.0.1 port = " << port
         << "\nexternal: 127.0.0.1\nclientmethod: none\nsocksmethod: none\n";
    if (::getuid() == 0)
        conf << "user.privileged: root\nuser.unprivileged: nobody\n";
    conf << "client pass {\n  from: 127.0.0.0/8 to: 0.0.0.0/0\n}\n"
            "socks pass {\n  from: 127.0.0.0/8 to: 127.0.0.0/8\n  command: connect\n}\n"
            "socks block {\n  from: 0.0.0.0/0 to: 0.0.0.0/0\n}\n";
}

} // namespace

SocksProxy::SocksProxy(ProxyKind kind, const std::string& user, const std::string& password)
{
    std::string templ = (std::filesystem::temp_directory_path() / "quillbox-proxy-XXXXXX").string();
    if (!::mkdtemp(templ.data()))
        throw std::runtime_error("mkdtemp failed");
    FDir = templ;
    const std::string dir = FDir.string();
    // A free port can be taken by someone else before the proxy binds it;
    // another one is tried then.
    for (int attempt = 0; attempt < 3; ++attempt) {
        FPort = UnusedPort();
        std::vector<std::string> argv;
        switch (kind) {
        case ProxyKind::Microsocks:
            argv = {"/usr/bin/microsocks", "-i", "127.0.0.1", "-p", PortText(), "-b", "127.0.0.1"};
            if (!user.empty())
                argv.insert(argv.end(), {"-u", user, "-P", password});
            break;
        case ProxyKind::Dante:
            WriteDanteConfig(FDir / "danted.conf", FPort);
            argv = {"/usr/sbin/danted", "-f", dir + "/danted.conf", "-p", dir + "/danted.pid", "-N", "1"};
            break;
        case ProxyKind::Twisted:
            // Debian's Python, whatever else PATH offers; the plugin's -l
            // option is left out (it breaks relaying). It logs to stdout.
            argv = {"/usr/bin/python3", "-m", "twisted", "--log-format", "text", "socks", "-i", "127.0.0.1",
                    "-p", PortText()};
            break;
        }
        if (Launch(argv))
            return;
    }
    std::string output = Output();
    std::filesystem::remove_all(FDir);
    throw std::runtime_error("SOCKS proxy did not start:\n" + output);
}

SocksProxy::~SocksProxy()
{
    Stop();
    std::error_code ignored;
    std::filesystem::remove_all(FDir, ignored);
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
        ::dup2(out, STDOUT_FILENO);
        ::dup2(out, STDERR_FILENO);
        ::dup2(::open("/dev/null", O_RDONLY), STDIN_FILENO);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ::setpgid(pid, pid);
    FPid = pid;
    for (auto deadline = Clock::now() + std::chrono::seconds(10); Clock::now() < deadline;) {
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
    for (auto deadline = Clock::now() + std::chrono::seconds(3); ::waitpid(FPid, nullptr, WNOHANG) == 0;) {
        if (Clock::now() >= deadline) {
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
    std::ifstream in(FDir / "output.log", std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

} // namespace testsupport
