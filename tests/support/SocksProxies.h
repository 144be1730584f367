// Real SOCKS proxies on 127.0.0.1 for integration tests: microsocks (SOCKS 5,
// optionally with user name and password), dante (SOCKS 4 and 5) and
// Twisted's SOCKS server (SOCKS 4 and 4A). Each proxy runs as a child
// process on a free port with its files in a fresh temporary folder; the
// constructor returns once the proxy accepts connections, the destructor
// stops it by its process id (its whole process group) and removes the
// folder. A proxy also dies with the thread that started it, so a test
// killed by its time limit leaves nothing behind.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <sys/types.h>

namespace testsupport {

enum class ProxyKind { Microsocks, Dante, Twisted };

class SocksProxy {
public:
    // With a user name, microsocks asks for RFC 1929 authentication; the
    // other proxies take no credentials. Throws std::runtime_error (with the
    // proxy's output) when it does not accept connections within 10 seconds.
    explicit SocksProxy(ProxyKind kind, const std::string& user = "", const std::string& password = "");
    ~SocksProxy();
    SocksProxy(const SocksProxy&) = delete;
    SocksProxy& operator=(const SocksProxy&) = delete;

    uint16_t Port() const { return FPort; }
    std::string PortText() const { return std::to_string(FPort); }
    pid_t Pid() const { return FPid; }
    // What the proxy printed and logged.
    std::string Output() const;

private:
    std::vector<std::string> CommandLine(ProxyKind kind, const std::string& user, const std::string& password);
    void WriteDanteConfig() const;
    bool Launch(const std::vector<std::string>& argv);
    void Stop();

    std::filesystem::path FDir;
    uint16_t FPort = 0;
    pid_t FPid = -1;
};

const char* ProxyKindName(ProxyKind kind);

} // namespace testsupport
