// What needs no server: the number parsers, the refusals of a client that
// is not connected, and the by-name table.
#include "pop3/Pop3Prot.h"

#include <gtest/gtest.h>

namespace {

struct ParseCase {
    const char* Line;
    Integer A, B;         // ParseTwoNumbers
    Integer N;            // ParseNumberAndWord
    const char* W;
};

void PrintTo(const ParseCase& c, std::ostream* os)
{
    *os << testing::PrintToString(std::string(c.Line));
}

class Parsers : public testing::TestWithParam<ParseCase> {};

TEST_P(Parsers, ReadNumbersAndWords)
{
    const ParseCase& c = GetParam();
    Integer a = -1, b = -1, n = -1;
    std::string w = "stale";
    ParseTwoNumbers(c.Line, a, b);
    ParseNumberAndWord(c.Line, n, w);
    EXPECT_EQ(a, c.A);
    EXPECT_EQ(b, c.B);
    EXPECT_EQ(n, c.N);
    EXPECT_EQ(w, c.W);
}

INSTANTIATE_TEST_SUITE_P(Pop3, Parsers,
                         testing::Values(ParseCase{"+OK 2 320", 2, 320, 2, "320"}, ParseCase{"+OK", 0, 0, 0, ""},
                                         ParseCase{"+OK 7", 0, 0, 7, ""}, ParseCase{"+OK 7 ", 0, 0, 7, ""},
                                         ParseCase{"1 120", 1, 120, 1, "120"}, ParseCase{"1\t120", 1, 120, 1, ""},
                                         ParseCase{"2 QhdPYR:00WBw1Ph7x7", 2, 0, 2, "QhdPYR:00WBw1Ph7x7"},
                                         ParseCase{"3  a\x7f" "b", 3, 0, 3, "a"}, ParseCase{"-5 -6", 5, 0, 5, "-6"},
                                         ParseCase{"+OK 4294967297 1", 1, 1, 1, "1"},
                                         ParseCase{"+OK 2147483648 9", INT32_MIN, 9, INT32_MIN, "9"},
                                         ParseCase{"x 12 \r\n 34", 12, 34, 12, ""}));

TEST(Pop3, ParseDecimalSkipsOnlyBlanksAndLeavesPosAfterTheDigits)
{
    const std::string line = " \t\r\n42x";
    size_t pos = 0;
    EXPECT_EQ(ParseDecimal(line, pos), 42);
    EXPECT_EQ(pos, 6u);
    EXPECT_EQ(ParseDecimal(line, pos), 0);
    EXPECT_EQ(SkipBlanks("\v1", 0), 0u);
}

// A refusal: the exception text, ErrorMessage and what OnDisplay saw.
struct Refusal {
    void (TCustomPop3Cli::*Operation)();
    Integer MsgLines;
    const char* Text;
    bool Displayed; // also recorded in ErrorMessage
};

void PrintTo(const Refusal& r, std::ostream* os)
{
    *os << r.Text;
}

class Refusals : public testing::TestWithParam<Refusal> {};

TEST_P(Refusals, RaiseTheirTextBeforeSendingAnything)
{
    const Refusal& r = GetParam();
    TPop3Cli client;
    std::string shown;
    client.OnDisplay = [&](TObject*, const std::string& Msg) { shown += Msg; };
    client.SetMsgLines(r.MsgLines);
    try {
        (client.*r.Operation)();
        FAIL() << "not refused";
    } catch (Pop3Exception& E) {
        EXPECT_EQ(E.Message(), r.Text);
    }
    EXPECT_EQ(client.ErrorMessage(), r.Displayed ? r.Text : "");
    EXPECT_EQ(shown, r.Displayed ? r.Text : "");
    EXPECT_EQ(client.State(), pop3Ready);
}

using C = TCustomPop3Cli;
INSTANTIATE_TEST_SUITE_P(Pop3, Refusals,
                         testing::Values(Refusal{&C::Stat, 0, "-ERR STAT command invalid now", true},
                                         Refusal{&C::List, 0, "-ERR LIST command invalid now", true},
                                         Refusal{&C::Top, 0, "-ERR TOP command invalid now", true},
                                         Refusal{&C::Top, -1, "Invalid MsgLines for TOP command", false},
                                         Refusal{&C::APop, 0, "-ERR APOP command invalid now", true},
                                         Refusal{&C::User, 0, "POP3 component not connected", false},
                                         Refusal{&C::Pass, 0, "POP3 component not connected", false},
                                         Refusal{&C::RSet, 0, "-ERR RSET command invalid now", true}));

TEST(Pop3, PublishedPropertiesByName)
{
    TSyncPop3Cli client;
    EXPECT_EQ(TSyncPop3Cli::PublishedProperties(),
              (TStrings{"Name", "Host", "Port", "UserName", "PassWord", "ErrorMessage", "LastResponse",
                        "ProtocolState", "MsgCount", "MsgSize", "MsgLines", "MsgNum", "MsgUidl", "Tag", "Timeout",
                        "MultiThreaded"}));
    EXPECT_EQ(client.GetPropertyByName("Port"), "pop3");
    EXPECT_EQ(client.GetPropertyByName("Timeout"), "15");
    EXPECT_EQ(client.GetPropertyByName("ProtocolState"), "pop3Disconnected");
    client.SetPropertyByName("MsgNum", "-3");
    client.SetPropertyByName("MultiThreaded", "True");
    EXPECT_EQ(client.MsgNum(), -3);
    EXPECT_TRUE(client.MultiThreaded());
    EXPECT_THROW(client.SetPropertyByName("MsgCount", "1"), Pop3Exception);
    EXPECT_THROW(client.SetPropertyByName("Tag", "1x"), Pop3Exception);
    EXPECT_THROW(client.GetPropertyByName("Nope"), Pop3Exception);
}

} // namespace
