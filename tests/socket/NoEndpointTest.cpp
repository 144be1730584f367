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
#include <vector>

namespace {

TEST(NoEndpoint, EveryUseReportsDescriptorExhaustion)
{
    const struct {
        const char* Name;
        std::function<void(TWSocket&)> Use;
    } uses[] = {
        {"Connect",
         [port = testsupport::UnusedPort()](TWSocket& s) {
             s.SetAddr("127.0.0.1");
             s.SetPort(std::to_string(port));
             s.Connect();
         }},
        {"listen", [](TWSocket& s) { s.SetAddr("127.0.0.1"); s.SetPort("0"); s.Listen(); }},
        {"DnsLookup", [](TWSocket& s) { s.DnsLookup("localhost"); }},
        {"ReverseDnsLookup", [](TWSocket& s) { s.ReverseDnsLookup("127.0.0.1"); }},
    };
    // The undefined-behaviour checker needs descriptors of its own the
    // first time it meets a class: let it meet the classes involved here,
    // before none are left. The uses fail or end unheard anyway.
    try {
        throw std::system_error(EMFILE, std::generic_category(), "warm-up");
    } catch (const std::system_error&) {
    }
    {
        TWSocket warm;
        for (const auto& u : uses) {
            try {
                u.Use(warm);
            } catch (const ESocketException&) {
            }
        }
    }
    bool constructed = false;
    platform::EndpointHandle endpoint = 1;
    std::vector<std::string> messages;
    // A thread of its own: its event loop, made on first use, is what
    // needs the descriptors.
    std::thread([&] {
        std::vector<int> taken;
        for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;)
            taken.push_back(fd);
        {
            TWSocket s;
            constructed = true;
            endpoint = s.NotifyEndpoint();
            for (const auto& u : uses) {
                try {
                    u.Use(s);
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

    EXPECT_TRUE(constructed);
    EXPECT_EQ(endpoint, 0u);
    ASSERT_EQ(messages.size(), std::size(uses));
    for (size_t i = 0; i < messages.size(); ++i)
        EXPECT_EQ(messages[i], std::string("Error 10024 in function ") + uses[i].Name + "\r\nToo many open files");
}

} // namespace
