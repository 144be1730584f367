// Line mode against a scripted loopback peer: what each OnDataAvailable call
// takes, what goes back on the wire, and how line mode ends.
#include "socket/WSocket.h"
#include "tests/support/ScriptedPeer.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

using testsupport::PumpFor;
using testsupport::PumpUntil;
using testsupport::ScriptedPeer;

namespace {

// Pause between two writes of the peer, so that each arrives in a read of
// its own.
constexpr int ReadGapMs = 80;
const std::string Closed = "<closed>";

// A line-mode socket connected to a scripted peer. Every piece a handler
// takes is recorded in order, followed by Closed when the session ends.
class LineModeTest : public ::testing::Test {
protected:
    ScriptedPeer Peer;
    TWSocket S;
    std::vector<std::string> Pieces;
    int Calls = 0;
    // Decides what the handler does; by default it takes with ReceiveStr.
    std::function<void()> Handler = [this] { TakeStr(); };

    void SetUp() override
    {
        S.SetLineMode(true);
        S.OnDataAvailable = [this](TObject*, Word) {
            ++Calls;
            Handler();
        };
        S.OnSessionClosed = [this](TObject*, Word) { Pieces.push_back(Closed); };
    }

    void TakeStr() { Keep(S.ReceiveStr()); }
    void Take(Integer size)
    {
        std::string buf(static_cast<size_t>(size), '\0');
        Integer n = S.Receive(buf.data(), size);
        Keep(n > 0 ? buf.substr(0, static_cast<size_t>(n)) : std::string());
    }
    void Keep(const std::string& piece)
    {
        if (!piece.empty())
            Pieces.push_back(piece);
    }

    // Starts the peer's script and connects to it.
    void Open()
    {
        Peer.Start();
        S.SetAddr("127.0.0.1");
        S.SetPort(Peer.PortText());
        S.Connect();
    }
    bool ClosedReported() const { return !Pieces.empty() && Pieces.back() == Closed; }

    // Plays the chunks one read apart, reads back echoBytes, then closes;
    // returns once the socket reported the close.
    void Play(const std::vector<std::string>& chunks, size_t echoBytes = 0)
    {
        for (const auto& chunk : chunks)
            Peer.Write(chunk).Sleep(ReadGapMs);
        Peer.Read(echoBytes).Close();
        Open();
        ASSERT_TRUE(PumpUntil([&] { return ClosedReported(); }));
    }
};

struct LineCase {
    const char* Name;
    std::vector<std::string> Chunks;
    std::string LineEnd;
    bool Edit;
    bool Echo;
    Integer BufferSize; // 0: ReceiveStr
    std::vector<std::string> Expected;
    std::string OnTheWire; // what the peer reads back
};

const LineCase AllLineCases[] = {
    {"SeveralLinesInOneRead", {"AB\r\nCD\r\nE", "F\r\n"}, "\r\n", false, false, 0,
     {"AB\r\n", "CD\r\n", "EF\r\n", Closed}, ""},
    {"LineEndSplitAcrossReads", {"AB\r", "\nC"}, "\r\n", false, false, 0, {"AB\r\n", "C", Closed}, ""},
    {"SmallBufferTakesTheLineInPieces", {"ABCD\r\nE\r\n"}, "\r\n", false, false, 2,
     {"AB", "CD", "\r\n", "E\r", "\n", Closed}, ""},
    {"UnterminatedRestAtClose", {"xy\r\nz"}, "\r\n", false, false, 0, {"xy\r\n", "z", Closed}, ""},
    {"OwnLineEndOfAnyLength", {"a||b|", "|c"}, "||", false, false, 0, {"a||", "b||", "c", Closed}, ""},
    {"EmptyLineEndIsPlainData", {"ab\r\ncd"}, "", false, false, 0, {"ab\r\ncd", Closed}, ""},
    {"EchoSendsTheBytesBack", {"hi\r\n"}, "\r\n", false, true, 0, {"hi\r\n", Closed}, "hi\r\n"},
    {"BackspaceErases", {"abc\bd\r\n"}, "\r\n", true, false, 0, {"abd\r\n", Closed}, ""},
    {"BackspaceEchoesEraseSequence", {"abc\bd\r\n"}, "\r\n", true, true, 0, {"abd\r\n", Closed},
     "abc\b \bd\r\n"},
    {"BackspaceAtLineStartIsDroppedSilently", {"\bx\r\n"}, "\r\n", true, true, 0, {"x\r\n", Closed}, "x\r\n"},
    {"BackspaceErasesBytesOfAnEarlierRead", {"ab", "\b\bx\r\n"}, "\r\n", true, false, 0, {"x\r\n", Closed}, ""},
    {"TabAdvancesToTheNextStop", {"a\tb\r\n", "\tc\r\n"}, "\r\n", true, true, 0,
     {"a       b\r\n", "        c\r\n", Closed}, "a       b\r\n        c\r\n"},
};

class LineCases : public LineModeTest, public ::testing::WithParamInterface<LineCase> {};

TEST_P(LineCases, DeliversTheExpectedPieces)
{
    const LineCase& c = GetParam();
    S.SetLineEnd(c.LineEnd);
    S.SetLineEdit(c.Edit);
    S.SetLineEcho(c.Echo);
    if (c.BufferSize > 0)
        Handler = [this, size = c.BufferSize] { Take(size); };
    Play(c.Chunks, c.OnTheWire.size());
    EXPECT_EQ(Pieces, c.Expected);
    EXPECT_EQ(Peer.Received(), c.OnTheWire);
    EXPECT_EQ(S.HeldCapacity(), 0) << "the held buffer is released at close";
}

INSTANTIATE_TEST_SUITE_P(Socket, LineCases, ::testing::ValuesIn(AllLineCases),
                         [](const auto& info) { return std::string(info.param.Name); });

// Switched off inside the handler: the rest arrives as plain data through
// the redelivery; switched on again after taking part of it, the held bytes
// are searched at once, without waiting for new bytes.
TEST_F(LineModeTest, SwitchedOffAndOnInsideTheHandler)
{
    Handler = [this] {
        if (Calls == 1) {
            TakeStr();
            S.SetLineMode(false);
        } else if (Calls == 2) {
            Take(1);
            S.SetLineMode(true);
        } else {
            TakeStr();
        }
    };
    Peer.Write("A\r\nBC\r\nD").WaitFor("end").Close();
    Open();
    ASSERT_TRUE(PumpUntil([&] { return Pieces.size() == 3; })) << ::testing::PrintToString(Pieces);
    EXPECT_EQ(Pieces, (std::vector<std::string>{"A\r\n", "B", "C\r\n"}));
    Peer.Signal("end");
    ASSERT_TRUE(PumpUntil([&] { return ClosedReported(); }));
    EXPECT_EQ(Pieces, (std::vector<std::string>{"A\r\n", "B", "C\r\n", "D", Closed}));
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
            TakeStr();
    };
    Peer.Write("a\r\nb").WaitFor("more").Write("c\r\nd").WaitFor("plain").Write("e").WaitFor("end");
    Open();
    ASSERT_TRUE(PumpUntil([&] { return Calls > 0; }));
    PumpFor(100);
    EXPECT_EQ(Calls, 1);

    ignore = false;
    Peer.Signal("more");
    ASSERT_TRUE(PumpUntil([&] { return Pieces.size() == 2; }));
    EXPECT_EQ(Pieces, (std::vector<std::string>{"a\r\n", "bc\r\n"}));
    EXPECT_EQ(Calls, 3);

    ignore = true;
    S.SetLineMode(false);
    PumpFor(100);
    EXPECT_EQ(Calls, 4) << "one redelivery pass for the held d";

    ignore = false;
    Peer.Signal("plain");
    ASSERT_TRUE(PumpUntil([&] { return Pieces.size() == 4; }));
    EXPECT_EQ(Pieces, (std::vector<std::string>{"a\r\n", "bc\r\n", "d", "e"}));
    Peer.Signal("end");
}

// A handler that closes the socket while lines are still held: each held
// byte is offered once, before OnSessionClosed.
TEST_F(LineModeTest, CloseInsideTheHandlerOffersTheRestOnce)
{
    Handler = [this] {
        TakeStr();
        if (Calls == 1)
            S.Close();
    };
    Peer.Write("A\r\nB\r\nC").ReadUntilClosed();
    Open();
    ASSERT_TRUE(PumpUntil([&] { return ClosedReported(); }));
    EXPECT_EQ(Pieces, (std::vector<std::string>{"A\r\n", "B\r\n", "C", Closed}));
}

// 100 000 bytes without a line end are held, nothing is offered; the line
// end delivers them as one line.
TEST_F(LineModeTest, LongLineIsHeldUntilItsLineEnd)
{
    const std::string line(100000, 'x');
    Peer.Write(line).WaitFor("end").Write("\r\n").WaitFor("close");
    Open();
    ASSERT_TRUE(PumpUntil([&] { return S.HeldCount() == 100000; }));
    EXPECT_EQ(Calls, 0);
    EXPECT_EQ(S.RcvdCount(), 0);
    Peer.Signal("end");
    ASSERT_TRUE(PumpUntil([&] { return !Pieces.empty(); }));
    EXPECT_EQ(Pieces, std::vector<std::string>{line + "\r\n"});
    EXPECT_EQ(S.HeldCount(), 0);
    Peer.Signal("close");
}

} // namespace
