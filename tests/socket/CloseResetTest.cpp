// The reset to the defaults after a close, on every way a connection ends: a
// handler of OnSessionClosed that connects again keeps its new connection,
// and one that raises does not leave the socket half reset.
#include "socket/WSocket.h"
#include "tests/support/ScriptedPeer.h"

#include <gtest/gtest.h>

#include <string>

using testsupport::PumpUntil;
using testsupport::ScriptedPeer;

namespace {

enum class ClosePath { RefusedConnect, Close, Abort, PeerCloses };

class CloseResetTest : public ::testing::TestWithParam<ClosePath> {
protected:
    ScriptedPeer First, Second;
    TWSocket S;
    int Closed = 0, ConnectedOk = 0, Raised = 0;

    void SetUp() override
    {
        S.OnSessionConnected = [this](TObject*, Word e) { ConnectedOk += e == 0 ? 1 : 0; };
        S.OnBgException = [this](TObject*, Exception&, bool&) { ++Raised; };
        Second.Start();
    }
    void ConnectTo(uint16_t port)
    {
        S.SetAddr("127.0.0.1");
        S.SetPort(std::to_string(port));
        S.Connect();
    }
    // Ends a first connection the way the parameter names. What the close
    // handler raises reaches the caller of Close and Abort, and the
    // background handler otherwise.
    void EndFirstConnection()
    {
        const ClosePath path = GetParam();
        if (path == ClosePath::PeerCloses)
            First.Close();
        First.Start();
        ConnectTo(path == ClosePath::RefusedConnect ? testsupport::UnusedPort() : First.Port());
        if (path == ClosePath::Close || path == ClosePath::Abort) {
            ASSERT_TRUE(PumpUntil([&] { return S.State() == wsConnected; }));
            try {
                path == ClosePath::Close ? S.Close() : S.Abort();
            } catch (const ESocketException&) {
                ++Raised;
            }
        }
        ASSERT_TRUE(PumpUntil([&] { return Closed > 0; }));
    }
};

TEST_P(CloseResetTest, ReconnectFromOnSessionClosedKeepsTheNewConnection)
{
    S.OnSessionClosed = [this](TObject*, Word) {
        if (++Closed > 1)
            return;
        if (S.State() != wsClosed)
            S.Close();
        ConnectTo(Second.Port());
    };
    EndFirstConnection();
    ASSERT_TRUE(PumpUntil([&] { return S.State() == wsConnected && Second.Accepted(); }));
    EXPECT_EQ(ConnectedOk, GetParam() == ClosePath::RefusedConnect ? 1 : 2);
    EXPECT_NE(S.SocketHandle(), INVALID_SOCKET);
    S.Close();
    EXPECT_EQ(Closed, 2) << "the new connection's close is reported";
}

TEST_P(CloseResetTest, RaisingHandlerStillGetsTheDefaultsBack)
{
    S.OnSessionClosed = [this](TObject*, Word) {
        if (++Closed == 1)
            throw ESocketException("handler failed");
    };
    EndFirstConnection();
    ASSERT_TRUE(PumpUntil([&] { return S.State() == wsClosed && S.SocketHandle() == INVALID_SOCKET; }));
    EXPECT_EQ(Raised, 1);
    EXPECT_FALSE(S.ClosedReported());
    EXPECT_FALSE(S.HasAddr());
    ConnectTo(Second.Port());
    ASSERT_TRUE(PumpUntil([&] { return S.State() == wsConnected; }));
    S.Close();
    EXPECT_EQ(Closed, 2) << "the next connection's close is reported";
}

INSTANTIATE_TEST_SUITE_P(Socket, CloseResetTest,
                         ::testing::Values(ClosePath::RefusedConnect, ClosePath::Close, ClosePath::Abort,
                                           ClosePath::PeerCloses));

} // namespace
