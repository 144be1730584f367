// Real SOCKS proxies on 127.0.0.1 for integration tests: microsocks (SOCKS 5,
// with RFC 1929 authentication when given a user name), dante (SOCKS 4 and 5)
// and Twisted's SOCKS server (SOCKS 4 and 4A). Each runs as a child process
// on a free port with its files in a fresh temporary folder. The constructor
// returns once the proxy accepts connections, or throws std::runtime_error
// with its output after 10 seconds; the destructor stops its process group by
// id and removes the folder. A proxy also dies with the thread that started
// it, so a test killed by its time limit leaves nothing behind.
#pragma once

#include "tests/support/ChildProcess.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace testsupport {

enum class ProxyKind { Microsocks, Dante, Twisted };

class SocksProxy {
public:
    explicit SocksProxy(ProxyKind kind, const std::string& user = "", const std::string& password = "");
    ~SocksProxy();
    SocksProxy(const SocksProxy&) = delete;
    SocksProxy& operator=(const SocksProxy&) = delete;

    std::string PortText() const { return std::to_string(FPort); }
    // Everything the proxy printed and logged.
    std::string Output() const;

private:
    bool Launch(const std::vector<std::string>& argv);

    std::filesystem::path FDir;
    uint16_t FPort = 0;
    ChildProcess FProcess;
};

} // namespace testsupport
