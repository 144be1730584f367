// The generated mailboxes and the private server that the POP3 integration
// tests and the benchmark stand on.
#include "tests/support/Dovecot.h"
#include "tests/support/Mailbox.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <functional>

namespace {

using testsupport::GenerateMessage;

size_t Count(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// Whether a header line that starts with `start` is followed by a continuation line.
bool Folded(const std::string& headers, const std::string& start)
{
    for (size_t at = headers.find(start); at != std::string::npos; at = headers.find(start, at + 1)) {
        const size_t lf = headers.find('\n', at + 1);
        if (lf + 1 < headers.size() && (headers[lf + 1] == '\t' || headers[lf + 1] == ' '))
            return true;
    }
    return false;
}

// Every shape a real mailbox has shows up among the first three messages, so
// even the smallest test mailbox exercises it; every message has LF line
// ends, a header and a final LF, and is made from (seed, index) alone.
TEST(Mailbox, FirstThreeMessagesCarryEveryShape)
{
    using Text = const std::string&;
    const std::pair<const char*, std::function<bool(Text head, Text body)>> shapes[] = {
        {"folded header", [](Text h, Text) { return Folded(h, "\nReceived: "); }},
        {"folded Subject", [](Text h, Text) { return Folded(h, "\nSubject: "); }},
        {"repeated Subject", [](Text h, Text) { return Count(h, "\nSubject: ") == 2; }},
        {"missing Subject", [](Text h, Text) { return Count(h, "\nSubject: ") == 0; }},
        {"encoded word", [](Text h, Text) { return Count(h, "=?ISO-8859-1?Q?") > 0; }},
        {"8-bit a-umlaut and o-umlaut", [](Text h, Text) { return Count(h, "\xE4") > 0 && Count(h, "\xF6") > 0; }},
        {"body line starting with a dot", [](Text, Text b) { return Count(b, "\n.") > Count(b, "\n.\n"); }},
        {"line that is only a dot", [](Text, Text b) { return Count(b, "\n.\n") > 0; }},
        {"attachment over 20 KiB", [](Text h, Text b) { return h.size() + b.size() > 20000; }},
    };
    for (const auto& [name, has] : shapes) {
        bool seen = false;
        for (size_t i = 0; i < 3; ++i) {
            const std::string m = GenerateMessage(7, i), head = m.substr(0, m.find("\n\n") + 1);
            seen = seen || has(head, "\n" + m.substr(head.size() + 1));
        }
        EXPECT_TRUE(seen) << name;
    }
    for (size_t i = 0; i < 200; ++i) {
        const std::string m = GenerateMessage(1, i);
        EXPECT_EQ(m, GenerateMessage(1, i)) << i;
        EXPECT_NE(m, GenerateMessage(2, i)) << i;
        EXPECT_EQ(Count(m, "\r") + (m.back() == '\n' ? 0 : 1), 0u) << i;
        EXPECT_NE(m.find("\n\n"), std::string::npos) << i;
    }
}

// The server runs as the mail user, yet the mailbox it serves is the one
// written, and stopping it leaves neither folder nor process behind.
TEST(Dovecot, HoldsTheWrittenMailboxAndStopsWithoutATrace)
{
    std::filesystem::path dir;
    pid_t group = -1;
    {
        testsupport::Dovecot server(3, 11);
        dir = server.Dir();
        group = server.Pid();
        const auto files = server.MessageFiles();
        ASSERT_EQ(files.size(), 3u);
        for (size_t i = 0; i < files.size(); ++i)
            EXPECT_EQ(testsupport::ReadFileBytes(files[i]), GenerateMessage(11, i)) << i;
    }
    EXPECT_FALSE(std::filesystem::exists(dir));
    EXPECT_NE(::kill(-group, 0), 0);
}

} // namespace
