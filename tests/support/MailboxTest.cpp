// The generated mailboxes and the private server that the POP3 integration
// tests and the benchmark stand on.
#include "tests/support/Dovecot.h"
#include "tests/support/Mailbox.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <regex>

namespace {

using testsupport::GenerateMessage;

std::string Headers(const std::string& message)
{
    return message.substr(0, message.find("\n\n") + 1);
}

std::string Body(const std::string& message)
{
    return message.substr(message.find("\n\n") + 2);
}

size_t Count(const std::string& text, const std::regex& re)
{
    return static_cast<size_t>(std::distance(std::sregex_iterator(text.begin(), text.end(), re), std::sregex_iterator()));
}

struct ShapeCase {
    const char* Name;
    std::function<bool(const std::string&)> Has;
};

const std::vector<ShapeCase> Shapes = {
    {"folded header", [](const std::string& m) { return std::regex_search(Headers(m), std::regex("\n[\t ]")); }},
    {"folded Subject",
     [](const std::string& m) { return std::regex_search(Headers(m), std::regex("\nSubject: [^\n]*\n\t")); }},
    {"repeated Subject", [](const std::string& m) { return Count(Headers(m), std::regex("\nSubject: ")) == 2; }},
    {"missing Subject", [](const std::string& m) { return Headers(m).find("\nSubject: ") == std::string::npos; }},
    {"encoded word", [](const std::string& m) { return Headers(m).find("=?ISO-8859-1?Q?") != std::string::npos; }},
    {"8-bit a-umlaut and o-umlaut", [](const std::string& m) {
         return Headers(m).find('\xE4') != std::string::npos && Headers(m).find('\xF6') != std::string::npos;
     }},
    {"body line starting with a dot",
     [](const std::string& m) { return std::regex_search(Body(m), std::regex("(^|\n)\\.[^\n]")); }},
    {"line that is only a dot", [](const std::string& m) { return ("\n" + Body(m)).find("\n.\n") != std::string::npos; }},
    {"attachment over 20 KiB", [](const std::string& m) { return m.size() > 20000; }},
};

// Every shape a real mailbox has shows up among the first three messages,
// so even the smallest test mailbox exercises it.
TEST(Mailbox, FirstThreeMessagesCarryEveryShape)
{
    for (const auto& shape : Shapes) {
        bool seen = false;
        for (size_t i = 0; i < 3; ++i)
            seen = seen || shape.Has(GenerateMessage(7, i));
        EXPECT_TRUE(seen) << shape.Name;
    }
}

TEST(Mailbox, MessagesAreLfOnlyAndDeterministicPerSeed)
{
    size_t smallest = SIZE_MAX, largest = 0;
    for (size_t i = 0; i < 200; ++i) {
        const std::string m = GenerateMessage(1, i);
        ASSERT_EQ(m, GenerateMessage(1, i)) << i;
        EXPECT_NE(m, GenerateMessage(2, i)) << i;
        EXPECT_EQ(m.find('\r'), std::string::npos) << i;
        EXPECT_EQ(m.back(), '\n') << i;
        EXPECT_NE(m.find("\n\n"), std::string::npos) << i;
        smallest = std::min(smallest, m.size());
        largest = std::max(largest, m.size());
    }
    EXPECT_LT(smallest, 2000u);
    EXPECT_GT(largest, 20000u);
}

// Minimal blocking POP3 talk with the server, independent of our client.
class RawPop3 {
public:
    explicit RawPop3(uint16_t port)
    {
        FFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(FFd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
            throw std::runtime_error("connect");
        Line();
    }
    ~RawPop3() { ::close(FFd); }
    std::string Line()
    {
        std::string line;
        char c;
        pollfd p{FFd, POLLIN, 0};
        while (::poll(&p, 1, 5000) > 0 && ::recv(FFd, &c, 1, 0) == 1) {
            line += c;
            if (line.size() >= 2 && line.compare(line.size() - 2, 2, "\r\n") == 0)
                return line.substr(0, line.size() - 2);
        }
        return line;
    }
    std::string Command(const std::string& cmd)
    {
        const std::string out = cmd + "\r\n";
        ::send(FFd, out.data(), out.size(), MSG_NOSIGNAL);
        return Line();
    }

private:
    int FFd = -1;
};

// STAT counts octets with CR LF line ends (RFC 1939 section 5).
TEST(Dovecot, ServesTheGeneratedMailboxAndReallyDeletes)
{
    testsupport::Dovecot server(3, 11);
    const auto files = server.MessageFiles();
    ASSERT_EQ(files.size(), 3u);
    size_t octets = 0;
    for (const auto& f : files) {
        const std::string m = testsupport::ReadFileBytes(f);
        ASSERT_EQ(m, GenerateMessage(11, static_cast<size_t>(&f - files.data())));
        octets += m.size() + static_cast<size_t>(std::count(m.begin(), m.end(), '\n'));
    }

    RawPop3 pop(server.Port());
    EXPECT_EQ(pop.Command("USER " + server.User()).substr(0, 3), "+OK");
    EXPECT_EQ(pop.Command("PASS " + server.Password()).substr(0, 3), "+OK") << server.Log();
    EXPECT_EQ(pop.Command("STAT"), "+OK 3 " + std::to_string(octets));
    EXPECT_EQ(pop.Command("DELE 2").substr(0, 3), "+OK");
    EXPECT_EQ(pop.Command("QUIT").substr(0, 3), "+OK");
    EXPECT_EQ(pop.Line(), "");

    const auto left = server.MessageFiles();
    ASSERT_EQ(left.size(), 2u) << server.Log();
    EXPECT_EQ(left[0], files[0]);
    EXPECT_EQ(left[1], files[2]);
}

TEST(Dovecot, StopsByProcessIdAndRemovesItsFolder)
{
    std::filesystem::path dir;
    pid_t pid = -1;
    uint16_t port = 0;
    {
        testsupport::Dovecot server;
        dir = server.Dir();
        pid = server.Pid();
        port = server.Port();
        EXPECT_TRUE(std::filesystem::exists(server.Maildir() / "cur"));
    }
    EXPECT_FALSE(std::filesystem::exists(dir));
    EXPECT_NE(::kill(pid, 0), 0);
    EXPECT_THROW(RawPop3 refused(port), std::runtime_error);
}

} // namespace
