// What needs no server: the number parsers, the refusals of a client that
// is not connected, and the by-name table.
#include "pop3/Pop3Prot.h"

#include <gtest/gtest.h>

namespace {

TEST(Pop3, ParsersReadNumbersAndWords)
{
    // What ParseTwoNumbers (A, B) and ParseNumberAndWord (N, W) read from Line.
    const struct {
        const char* Line;
        Integer A, B, N;
        const char* W;
    } cases[] = {
        {"+OK 2 320", 2, 320, 2, "320"}, {"+OK", 0, 0, 0, ""}, {"+OK 7", 0, 0, 7, ""}, {"+OK 7 ", 0, 0, 7, ""},
        {"1 120", 1, 120, 1, "120"}, {"1\t120", 1, 120, 1, ""},
        {"2 QhdPYR:00WBw1Ph7x7", 2, 0, 2, "QhdPYR:00WBw1Ph7x7"}, {"3  a\x7f" "b", 3, 0, 3, "a"},
        {"-5 -6", 5, 0, 5, "-6"}, {"+OK 4294967297 1", 1, 1, 1, "1"},
        {"+OK 2147483648 9", INT32_MIN, 9, INT32_MIN, "9"}, {"x 12 \r\n 34", 12, 34, 12, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::string(c.Line)));
        Integer a = -1, b = -1, n = -1;
        std::string w = "stale";
        ParseTwoNumbers(c.Line, a, b);
        ParseNumberAndWord(c.Line, n, w);
        EXPECT_EQ(std::vector<Integer>({a, b, n}), std::vector<Integer>({c.A, c.B, c.N}));
        EXPECT_EQ(w, c.W);
    }
}

// RFC 2449 section 8 and RFC 3206: the code in brackets right after "-ERR".
TEST(Pop3, ResponseCodes)
{
    const struct {
        const char* Line;
        const char* Code;
    } cases[] = {
        {"-ERR [IN-USE] Mailbox is locked", "IN-USE"}, {"-ERR [LOGIN-DELAY] wait", "LOGIN-DELAY"},
        {"-ERR [SYS/TEMP] try later", "SYS/TEMP"}, {"-ERR [SYS/PERM] no", "SYS/PERM"},
        {"-ERR [AUTH] Authentication failed.", "AUTH"}, {"-ERR [X-OWN/SUB/3]", "X-OWN/SUB/3"},
        {"-ERR Authentication failed.", ""}, {"-ERR", ""}, {"+OK [AUTH] fine", ""}, {"-ERR  [AUTH] late", ""},
        {"-ERR [AUTH", ""}, {"-ERR []", ""}, {"-ERR [SYS/]", ""}, {"-ERR [/TEMP]", ""}, {"-ERR [IN USE]", ""},
        {"-ERR text [AUTH]", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ParseResponseCode(c.Line), c.Code) << c.Line;
}

// Refused before anything is sent: the exception's text, also in
// ErrorMessage and OnDisplay when Displayed.
TEST(Pop3, RefusalsRaiseTheirTextBeforeSendingAnything)
{
    using C = TCustomPop3Cli;
    const struct {
        void (C::*Operation)();
        Integer MsgLines;
        const char* Text;
        bool Displayed;
    } cases[] = {
        {&C::Stat, 0, "-ERR STAT command invalid now", true}, {&C::List, 0, "-ERR LIST command invalid now", true},
        {&C::Top, 0, "-ERR TOP command invalid now", true}, {&C::Top, -1, "Invalid MsgLines for TOP command", false},
        {&C::APop, 0, "-ERR APOP command invalid now", true}, {&C::User, 0, "POP3 component not connected", false},
        {&C::Pass, 0, "POP3 component not connected", false}, {&C::RSet, 0, "-ERR RSET command invalid now", true},
        {&C::Auth, 0, "-ERR AUTH command invalid now", true},
    };
    for (const auto& r : cases) {
        SCOPED_TRACE(r.Text);
        TPop3Cli client;
        std::string shown;
        client.OnDisplay = [&](TObject*, const std::string& Msg) { shown += Msg; };
        client.SetMsgLines(r.MsgLines);
        try {
            (client.*r.Operation)();
            ADD_FAILURE() << "not refused";
        } catch (Pop3Exception& E) {
            EXPECT_EQ(E.Message(), r.Text);
        }
        EXPECT_EQ(client.ErrorMessage(), r.Displayed ? r.Text : "");
        EXPECT_EQ(shown, r.Displayed ? r.Text : "");
        EXPECT_EQ(client.State(), pop3Ready);
    }
}

// Values by name are converted both ways; read-only names and malformed
// values are refused.
TEST(Pop3, PropertiesByName)
{
    TSyncPop3Cli client;
    client.SetPropertyByName("MsgNum", "-3");
    client.SetPropertyByName("MultiThreaded", "True");
    EXPECT_EQ(client.GetPropertyByName("Pipelining"), "True"); // the default
    client.SetPropertyByName("Pipelining", "False");
    std::string shown;
    for (const char* name : {"MsgNum", "MultiThreaded", "Pipelining", "Port", "Timeout", "ProtocolState"})
        shown += std::string(name) + "=" + client.GetPropertyByName(name) + " ";
    EXPECT_EQ(shown, "MsgNum=-3 MultiThreaded=True Pipelining=False Port=pop3 Timeout=15 "
                     "ProtocolState=pop3Disconnected ");
    EXPECT_FALSE(client.Pipelining());
    EXPECT_THROW(client.SetPropertyByName("MsgCount", "1"), Pop3Exception);
    EXPECT_THROW(client.SetPropertyByName("Tag", "1x"), Pop3Exception);
    EXPECT_THROW(client.GetPropertyByName("Nope"), Pop3Exception);
}

} // namespace
