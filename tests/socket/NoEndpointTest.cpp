// A socket made while the process has no descriptor left: the constructor
// raises nothing and every operation that needs the notification endpoint
// reports "Too many open files" instead of failing later or not at all.
#include "socket/WSocket.h"
#include "tests/support/ScriptedPeer.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace {

TEST(NoEndpoint, EveryUseReportsDescriptorExhaustion)
{
    const std::pair<std::string, std::function<void(TWSocket&)>> uses[] = {
        {"Connect",
         [port = std::to_string(testsupport::UnusedPort())](TWSocket& s) {
             s.SetAddr("127.0.0.1");
             s.SetPort(port);
             s.Connect();
         }},
        {"listen", [](TWSocket& s) { s.SetAddr("127.0.0.1"); s.SetPort("0"); s.Listen(); }},
        {"DnsLookup", [](TWSocket& s) { s.DnsLookup("localhost"); }},
        {"ReverseDnsLookup", [](TWSocket& s) { s.ReverseDnsLookup("127.0.0.1"); }},
    };
    // The undefined-behaviour checker needs descriptors of its own the first
    // time it meets a class: let it meet these classes while some are left.
    try {
        throw std::system_error(EMFILE, std::generic_category(), "warm-up");
    } catch (const std::system_error&) {
    }
    std::vector<std::string> expected, messages;
    {
        TWSocket warm;
        for (const auto& [name, use] : uses) {
            expected.push_back("Error 10024 in function " + name + "\r\nToo many open files");
            try {
                use(warm);
            } catch (const ESocketException&) {
            }
        }
    }
    platform::EndpointHandle endpoint = 1;
    // A thread of its own: its event loop, made on first use, is what needs
    // the descriptors.
    std::thread([&] {
        std::vector<int> taken;
        for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;)
            taken.push_back(fd);
        {
            TWSocket s;
            endpoint = s.NotifyEndpoint();
            for (const auto& [name, use] : uses) {
                try {
                    use(s);
                    messages.push_back("(no report)");
                } catch (const ESocketException& e) {
                    messages.push_back(e.Message());
                }
            }
            s.ScheduleClose();
            s.ScheduleDestroy();
        }
        for (int fd : taken)
            ::close(fd);
    }).join();
    EXPECT_EQ(endpoint, 0u);
    EXPECT_EQ(messages, expected);
}

} // namespace
