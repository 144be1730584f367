// The generated mailboxes and the private server that the POP3 integration
// tests and the benchmark stand on.
#include "tests/support/Dovecot.h"
#include "tests/support/Mailbox.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <functional>

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

size_t Count(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// Whether a line that starts with `start` is followed by a continuation line.
bool Folded(const std::string& headers, const std::string& start)
{
    for (size_t at = headers.find(start); at != std::string::npos; at = headers.find(start, at + 1)) {
        const size_t lf = headers.find('\n', at + 1);
        if (lf + 1 < headers.size() && (headers[lf + 1] == '\t' || headers[lf + 1] == ' '))
            return true;
    }
    return false;
}

// Whether some line starts with a dot and has more after it.
bool DotLine(const std::string& body)
{
    const std::string text = "\n" + body;
    for (size_t at = text.find("\n."); at != std::string::npos; at = text.find("\n.", at + 1))
        if (at + 2 < text.size() && text[at + 2] != '\n')
            return true;
    return false;
}

struct ShapeCase {
    const char* Name;
    std::function<bool(const std::string&)> Has;
};

const std::vector<ShapeCase> Shapes = {
    {"folded header", [](const std::string& m) { return Folded(Headers(m), "\nReceived: "); }},
    {"folded Subject", [](const std::string& m) { return Folded(Headers(m), "\nSubject: "); }},
    {"repeated Subject", [](const std::string& m) { return Count(Headers(m), "\nSubject: ") == 2; }},
    {"missing Subject", [](const std::string& m) { return Headers(m).find("\nSubject: ") == std::string::npos; }},
    {"encoded word", [](const std::string& m) { return Headers(m).find("=?ISO-8859-1?Q?") != std::string::npos; }},
    {"8-bit a-umlaut and o-umlaut", [](const std::string& m) {
         return Headers(m).find('\xE4') != std::string::npos && Headers(m).find('\xF6') != std::string::npos;
     }},
    {"body line starting with a dot", [](const std::string& m) { return DotLine(Body(m)); }},
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

// True when something on 127.0.0.1 accepts a connection on the port.
bool Accepts(uint16_t port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

// The server runs as the mail user, yet the mailbox it serves is the one
// written, and stopping it leaves nothing behind. (What it serves is checked
// in depth by the POP3 integration tests.)
TEST(Dovecot, HoldsTheWrittenMailboxAndStopsWithoutATrace)
{
    std::filesystem::path dir;
    pid_t pid = -1;
    uint16_t port = 0;
    {
        testsupport::Dovecot server(3, 11);
        dir = server.Dir();
        pid = server.Pid();
        port = server.Port();
        const auto files = server.MessageFiles();
        ASSERT_EQ(files.size(), 3u);
        for (size_t i = 0; i < files.size(); ++i)
            EXPECT_EQ(testsupport::ReadFileBytes(files[i]), GenerateMessage(11, i)) << i;
        EXPECT_TRUE(Accepts(port));
    }
    EXPECT_FALSE(std::filesystem::exists(dir));
    EXPECT_NE(::kill(pid, 0), 0);
    EXPECT_FALSE(Accepts(port));
}

} // namespace
