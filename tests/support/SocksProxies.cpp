#include "tests/support/SocksProxies.h"

#include "tests/support/ScriptedPeer.h"

#include <unistd.h>

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace testsupport {

namespace {

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
    FProcess.Stop();
    std::error_code ignored;
    std::filesystem::remove_all(FDir, ignored);
}

bool SocksProxy::Launch(const std::vector<std::string>& argv)
{
    std::string failure;
    const uint16_t port = FPort;
    return FProcess.Start(argv, (FDir / "output.log").string(), [port] { return Accepts(port); }, 10000,
                          failure);
}

std::string SocksProxy::Output() const
{
    std::ifstream in(FDir / "output.log", std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

} // namespace testsupport
