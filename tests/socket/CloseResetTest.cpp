// The reset to the defaults after a close: a handler of OnSessionClosed that
// connects again keeps its new connection, and one that raises does not
// leave the socket half reset. Checked on every way a connection ends.
#include "socket/WSocket.h"
#include "tests/support/ScriptedPeer.h"

#include <gtest/gtest.h>

#include <string>

using testsupport::PumpUntil;
using testsupport::ScriptedPeer;
using testsupport::UnusedPort;

namespace {

enum class ClosePath { RefusedConnect, Close, Abort, PeerCloses };

class CloseResetTest : public ::testing::TestWithParam<ClosePath> {
protected:
    ScriptedPeer First;
    ScriptedPeer Second;
    TWSocket S;
    int Closed = 0;
    int ConnectedOk = 0;
    int Raised = 0;

    void SetUp() override
    {
        S.OnSessionConnected = [this](TObject*, Word e) { ConnectedOk += e == 0 ? 1 : 0; };
        S.OnBgException = [this](TObject*, Exception&, bool&) { ++Raised; };
        Second.WaitFor("end");
        Second.Start();
    }
    void TearDown() override { Second.Signal("end"); }

    void ConnectTo(uint16_t port)
    {
        S.SetAddr("127.0.0.1");
        S.SetPort(std::to_string(port));
        S.Connect();
    }
    // Ends a first connection the way the parameter names. Exceptions of
    // the close handler reach the caller of Close and Abort, and the
    // background handler otherwise.
    void EndFirstConnection()
    {
        const ClosePath path = GetParam();
        switch (path) {
        case ClosePath::RefusedConnect:
            ConnectTo(UnusedPort());
            ASSERT_TRUE(PumpUntil([&] { return Closed > 0; }));
            return;
        case ClosePath::Close:
        case ClosePath::Abort:
            First.WaitFor("end");
            First.Start();
            ConnectTo(First.Port());
            ASSERT_TRUE(PumpUntil([&] { return S.State() == wsConnected; }));
            try {
                if (path == ClosePath::Close)
                    S.Close();
                else
                    S.Abort();
            } catch (const ESocketException&) {
                ++Raised;
            }
            First.Signal("end");
            return;
        case ClosePath::PeerCloses:
            First.Close();
            First.Start();
            ConnectTo(First.Port());
            ASSERT_TRUE(PumpUntil([&] { return Closed > 0; }));
            return;
        }
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
    EXPECT_TRUE(Second.Accepted());
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
