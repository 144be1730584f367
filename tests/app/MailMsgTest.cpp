// The header extraction that fills a row, and the code page the windows
// show it in; both without a window.
#include "app/AnsiText.h"
#include "app/MailMsg.h"

#include <gtest/gtest.h>

namespace {

TEST(MailMsgTest, ExtractsFromDateAndSubjectByExactPrefix)
{
    struct Case {
        const char* Name;
        TStrings Lines;
        const char* From;
        const char* Date;
        const char* Subject;
    };
    const Case cases[] = {
        {"plain", {"From: a@b", "Date: Mon", "Subject: Hei", ""}, "a@b", "Mon", "Hei"},
        {"last match wins", {"Subject: first", "Subject: second", "From: x", "From: y"}, "y", "", "second"},
        {"none", {"To: c@d", "X-Subject: no"}, "", "", ""},
        {"blanks and controls trimmed", {"Subject: \t  spaced \x01 ", "From:  \x1f a "}, "a", "", "spaced"},
        {"other letter case ignored", {"subject: lower", "FROM: upper", "date: x"}, "", "", ""},
        {"no blank after the colon", {"Subject:tight", "From:x"}, "", "", ""},
        {"empty value", {"Subject: old", "Subject: "}, "", "", ""},
        {"folded line not joined", {"Subject: start", " continued"}, "", "", "start"},
        {"encoded word kept", {"Subject: =?ISO-8859-1?Q?P=E4iv=E4?="}, "", "", "=?ISO-8859-1?Q?P=E4iv=E4?="},
    };
    for (const Case& c : cases) {
        TMailMessage message(7);
        message.HeaderLines = c.Lines;
        ExtractHeaders(message);
        EXPECT_EQ(message.From, c.From) << c.Name;
        EXPECT_EQ(message.Date, c.Date) << c.Name;
        EXPECT_EQ(message.Subject, c.Subject) << c.Name;
        EXPECT_EQ(message.MessageNumber, 7) << c.Name;
    }
}

TEST(MailMsgTest, WindowsCodePageCrossesBothWays)
{
    EXPECT_EQ(FromAnsi("\xE4\xF6"), QString::fromUtf8("äö"));
    EXPECT_EQ(FromAnsi("\x80\x9F"), QString::fromUtf8("€Ÿ"));
    EXPECT_EQ(ToAnsi(QString::fromUtf8("Käyttäjä €")), "K\xE4ytt\xE4j\xE4 \x80");
    // Not in the code page: one "?" per character, a pair of surrogates too.
    EXPECT_EQ(ToAnsi(QString::fromUtf8("a\u4E2Db\U0001F600c")), "a?b?c");
    std::string every;
    for (int b = 1; b < 256; ++b)
        every += char(b);
    EXPECT_EQ(ToAnsi(FromAnsi(every)), every);
}

} // namespace
