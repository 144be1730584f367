// Line mode against a scripted loopback peer: what each OnDataAvailable call
// takes, what goes back on the wire, and how line mode ends.
#include "socket/WSocket.h"
#include "tests/support/ScriptedPeer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

using testsupport::PumpFor;
using testsupport::PumpUntil;
using Pieces = std::vector<std::string>;

namespace {

const std::string Closed = "<closed>";

// A line-mode socket on a scripted peer. Every piece a handler takes is
// recorded in order, then Closed when the session ends.
class LineModeTest : public ::testing::Test {
public:
    testsupport::ScriptedPeer Peer;
    TWSocket S;
    Pieces Taken;
    int Calls = 0;
    // What the handler does on its Calls-th call; by default it takes a line.
    std::function<void()> Handler = [this] { Take(); };

    void SetUp() override
    {
        S.SetLineMode(true);
        S.OnDataAvailable = [this](TObject*, Word) {
            ++Calls;
            Handler();
        };
        S.OnSessionClosed = [this](TObject*, Word) { Taken.push_back(Closed); };
    }
    // Takes with ReceiveStr, or with Receive into a buffer of this size.
    void Take(Integer size = 0)
    {
        std::string piece = size > 0 ? std::string(static_cast<size_t>(size), '\0') : S.ReceiveStr();
        if (size > 0)
            piece.resize(static_cast<size_t>(std::max<Integer>(S.Receive(piece.data(), size), 0)));
        if (!piece.empty())
            Taken.push_back(piece);
    }
    void Open()
    {
        Peer.Start();
        S.SetAddr("127.0.0.1");
        S.SetPort(Peer.PortText());
        S.Connect();
    }
    bool ClosedReported() const { return !Taken.empty() && Taken.back() == Closed; }
};

struct LineCase {
    const char* Name;
    std::vector<std::string> Chunks; // each arrives in a read of its own
    std::string LineEnd;
    bool Edit, Echo;
    std::function<void(LineModeTest&)> Handler; // null: ReceiveStr
    Pieces Expected;
    std::string OnTheWire; // what the peer reads back
};

class LineCases : public LineModeTest, public ::testing::WithParamInterface<LineCase> {};

const LineCase AllLineCases[] = {
    {"SeveralLinesInOneRead", {"AB\r\nCD\r\nE", "F\r\n"}, "\r\n", false, false, nullptr,
     {"AB\r\n", "CD\r\n", "EF\r\n", Closed}, ""},
    {"LineEndSplitAcrossReads", {"AB\r", "\nC"}, "\r\n", false, false, nullptr, {"AB\r\n", "C", Closed}, ""},
    {"SmallBufferTakesTheLineInPieces", {"ABCD\r\nE\r\n"}, "\r\n", false, false, [](LineModeTest& t) { t.Take(2); },
     {"AB", "CD", "\r\n", "E\r", "\n", Closed}, ""},
    {"UnterminatedRestAtClose", {"xy\r\nz"}, "\r\n", false, false, nullptr, {"xy\r\n", "z", Closed}, ""},
    // Each held byte is offered once, before OnSessionClosed.
    {"CloseInsideTheHandlerOffersTheRestOnce", {"A\r\nB\r\nC"}, "\r\n", false, false, 
     [](LineModeTest& t) {
         t.Take();
         if (t.Calls == 1)
             t.S.Close();
     },
     {"A\r\n", "B\r\n", "C", Closed}, ""},
    {"OwnLineEndOfAnyLength", {"a||b|", "|c"}, "||", false, false, nullptr, {"a||", "b||", "c", Closed}, ""},
    {"EmptyLineEndIsPlainData", {"ab\r\ncd"}, "", false, false, nullptr, {"ab\r\ncd", Closed}, ""},
    {"EchoSendsTheBytesBack", {"hi\r\n"}, "\r\n", false, true, nullptr, {"hi\r\n", Closed}, "hi\r\n"},
    // A backspace at the line start is dropped silently; one in a later read
    // erases a byte of an earlier one.
    {"EditingErasesAndExpandsTabs", {"\bab", "\bd\r\n", "a\tb\r\n"}, "\r\n", true, true, nullptr,
     {"ad\r\n", "a       b\r\n", Closed}, "ab\b \bd\r\na       b\r\n"},
};

TEST_P(LineCases, DeliversTheExpectedPieces)
{
    const LineCase& c = GetParam();
    S.SetLineEnd(c.LineEnd);
    S.SetLineEdit(c.Edit);
    S.SetLineEcho(c.Echo);
    if (c.Handler)
        Handler = [this, &c] { c.Handler(*this); };
    for (const auto& chunk : c.Chunks)
        Peer.Write(chunk).Sleep(80);
    Peer.Read(c.OnTheWire.size()).Close();
    Open();
    ASSERT_TRUE(PumpUntil([&] { return ClosedReported(); }));
    EXPECT_EQ(Taken, c.Expected);
    EXPECT_EQ(Peer.Received(), c.OnTheWire);
    EXPECT_EQ(S.HeldCapacity(), 0) << "the held buffer is released at close";
}

INSTANTIATE_TEST_SUITE_P(Socket, LineCases, ::testing::ValuesIn(AllLineCases),
                         [](const auto& info) { return std::string(info.param.Name); });

// Switched off inside the handler, the rest arrives as plain data through
// the redelivery; switched on again after taking part of it, the held bytes
// are searched at once, without waiting for new bytes.
TEST_F(LineModeTest, SwitchedOffAndOnInsideTheHandler)
{
    Handler = [this] {
        Take(Calls == 2 ? 1 : 0);
        if (Calls <= 2)
            S.SetLineMode(Calls == 2);
    };
    Peer.Write("A\r\nBC\r\nD").WaitFor("end").Close();
    Open();
    ASSERT_TRUE(PumpUntil([&] { return Taken.size() == 3; }));
    EXPECT_EQ(Taken, (Pieces{"A\r\n", "B", "C\r\n"}));
    Peer.Signal("end");
    ASSERT_TRUE(PumpUntil([&] { return ClosedReported(); }));
    EXPECT_EQ(Taken, (Pieces{"A\r\n", "B", "C\r\n", "D", Closed}));
}

// A handler that takes nothing is not called over and over: the line stays
// held and is offered again with the next bytes; outside line mode the
// redelivery stops after a pass that takes nothing, and the held bytes come
// first with the next arrival.
TEST_F(LineModeTest, HandlersThatTakeNothingAreNotCalledInALoop)
{
    bool ignore = true;
    Handler = [&] {
        if (!ignore)
            Take();
    };
    Peer.Write("a\r\nb").WaitFor("more").Write("c\r\nd").WaitFor("plain").Write("e").WaitFor("end");
    Open();
    ASSERT_TRUE(PumpUntil([&] { return Calls > 0; }));
    PumpFor(100);
    EXPECT_EQ(Calls, 1);
    ignore = false;
    Peer.Signal("more");
    ASSERT_TRUE(PumpUntil([&] { return Taken.size() == 2; }));
    EXPECT_EQ(Calls, 3);
    ignore = true;
    S.SetLineMode(false);
    PumpFor(100);
    EXPECT_EQ(Calls, 4) << "one redelivery pass for the held d";
    ignore = false;
    Peer.Signal("plain");
    ASSERT_TRUE(PumpUntil([&] { return Taken.size() == 4; }));
    EXPECT_EQ(Taken, (Pieces{"a\r\n", "bc\r\n", "d", "e"}));
}

// 100 000 bytes without a line end are held and nothing is offered; the line
// end delivers them as one line.
TEST_F(LineModeTest, LongLineIsHeldUntilItsLineEnd)
{
    const std::string line(100000, 'x');
    Peer.Write(line).WaitFor("end").Write("\r\n").WaitFor("close");
    Open();
    ASSERT_TRUE(PumpUntil([&] { return S.HeldCount() == 100000; }));
    EXPECT_EQ(Calls, 0);
    EXPECT_EQ(S.RcvdCount(), 0) << "no line offered";
    Peer.Signal("end");
    ASSERT_TRUE(PumpUntil([&] { return !Taken.empty(); }));
    EXPECT_EQ(Taken, Pieces{line + "\r\n"});
    EXPECT_EQ(S.HeldCount(), 0);
}

} // namespace
