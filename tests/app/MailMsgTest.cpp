// The header extraction that fills a row, and the code page the windows
// show it in; both without a window.
#include "app/AnsiText.h"
#include "app/MailMsg.h"

#include <gtest/gtest.h>

namespace {

TEST(MailMsgTest, ExtractsFromDateAndSubjectByExactPrefix)
{
    const struct {
        TStrings Lines;
        const char* Expected; // From|Date|Subject
    } cases[] = {
        {{"Date: Mon", "Subject: first", "Subject: second", "From: x", "From: y"}, "y|Mon|second"}, // last wins
        {{"To: c@d", "X-Subject: no"}, "||"},
        {{"Subject: \t  spaced \x01 ", "From:  \x1f a "}, "a||spaced"}, // bytes 0 to 32 trimmed
        {{"subject: lower", "FROM: upper", "date: x"}, "||"},
        {{"Subject:tight", "From:x"}, "||"},
        {{"Subject: old", "Subject: "}, "||"},
        {{"Subject: start", " continued"}, "||start"}, // folded lines are not joined
        {{"Subject: =?ISO-8859-1?Q?P=E4iv=E4?="}, "||=?ISO-8859-1?Q?P=E4iv=E4?="},
    };
    for (const auto& c : cases) {
        TMailMessage message(7);
        message.HeaderLines = c.Lines;
        ExtractHeaders(message);
        EXPECT_EQ(message.From + "|" + message.Date + "|" + message.Subject, c.Expected) << c.Lines[0];
    }
}

TEST(MailMsgTest, WindowsCodePageCrossesBothWays)
{
    EXPECT_EQ(FromAnsi("\xE4\xF6\x80\x9F"), QString::fromUtf8("äö€Ÿ"));
    EXPECT_EQ(ToAnsi(QString::fromUtf8("Käyttäjä €")), "K\xE4ytt\xE4j\xE4 \x80");
    // Not in the code page: one "?" per character, a pair of surrogates too.
    EXPECT_EQ(ToAnsi(QString::fromUtf8("a\u4E2Db\U0001F600c")), "a?b?c");
    std::string every;
    for (int b = 1; b < 256; ++b)
        every += char(b);
    EXPECT_EQ(ToAnsi(FromAnsi(every)), every);
}

} // namespace
