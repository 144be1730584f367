// The binding's load/unload life, the error texts and the message forms.
#include "socket/WSocket.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

// Makes sure no socket object of an earlier test keeps the library loaded.
class SocketLibraryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(TCustomWSocket::SocketInstanceCount(), 0);
        wsock::UnloadSocketLibrary();
    }
    void TearDown() override { wsock::SocketLibraryName = "wsock32.dll"; }
};

TEST_F(SocketLibraryTest, CreatingASocketLoadsNothingTheFirstSocketCallDoes)
{
    auto s = std::make_unique<TWSocket>();
    EXPECT_FALSE(wsock::SocketLibraryLoaded());
    EXPECT_FALSE(platform::sock::IsStarted());
    EXPECT_EQ(TCustomWSocket::SocketInstanceCount(), 1);

    // The protocol look-up inside Connect is the first socket call.
    s->OnError = [](TObject*) {};
    s->SetAddr("127.0.0.1");
    s->SetPort("1");
    s->SetProto("no-such-protocol");
    s->Connect();
    EXPECT_TRUE(wsock::SocketLibraryLoaded());
    EXPECT_TRUE(platform::sock::IsStarted());
    EXPECT_GT(wsock::BoundProcCount(), 0);
}

TEST_F(SocketLibraryTest, DestroyingTheLastSocketUnloadsAndALaterSocketLoadsAgain)
{
    auto a = std::make_unique<TWSocket>();
    auto b = std::make_unique<TWSocket>();
    wsock::htons(1); // any socket call loads
    ASSERT_TRUE(wsock::SocketLibraryLoaded());

    a.reset();
    EXPECT_TRUE(wsock::SocketLibraryLoaded()) << "one socket object is still alive";
    b.reset();
    EXPECT_FALSE(wsock::SocketLibraryLoaded());
    EXPECT_FALSE(platform::sock::IsStarted());
    EXPECT_EQ(wsock::BoundProcCount(), 0);
    EXPECT_EQ(TCustomWSocket::SocketInstanceCount(), 0);

    auto c = std::make_unique<TWSocket>();
    EXPECT_FALSE(wsock::SocketLibraryLoaded());
    EXPECT_EQ(WSocketResolveProto("tcp"), 6);
    EXPECT_TRUE(wsock::SocketLibraryLoaded());
    EXPECT_TRUE(platform::sock::IsStarted());
}

TEST_F(SocketLibraryTest, UnloadClosesSocketsLeftOpenAndLaterCallsStartAfresh)
{
    TSocket h = wsock::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_NE(h, INVALID_SOCKET);
    int fd = platform::sock::DescriptorOf(h);
    ASSERT_GE(fd, 0);
    wsock::UnloadSocketLibrary();
    EXPECT_EQ(platform::sock::DescriptorOf(h), -1);

    TSocket again = wsock::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    EXPECT_NE(again, INVALID_SOCKET);
    EXPECT_NE(again, h) << "a handle is never reused";
    EXPECT_EQ(wsock::closesocket(again), 0);
    wsock::UnloadSocketLibrary();
}

TEST_F(SocketLibraryTest, BindingFailuresUseTheirFixedTexts)
{
    try {
        wsock::LoadSocketProc("NoSuchFunction");
        FAIL() << "no exception";
    } catch (const ESocketException& e) {
        EXPECT_EQ(e.Message(), "Procedure NoSuchFunction not found in wsock32.dll Error #127");
    }
    EXPECT_EQ(wsock::LoadSocketProc(""), nullptr);

    wsock::UnloadSocketLibrary();
    wsock::SocketLibraryName = "missing.dll";
    try {
        wsock::htons(1);
        FAIL() << "no exception";
    } catch (const ESocketException& e) {
        EXPECT_EQ(e.Message(), "Unable to load missing.dll Error #126");
        EXPECT_STREQ(e.ClassName(), "ESocketException");
    }
    EXPECT_FALSE(wsock::SocketLibraryLoaded()) << "nothing is kept; the next call tries again";
    wsock::SocketLibraryName = "wsock32.dll";
    EXPECT_EQ(wsock::htons(0x0102), 0x0201);
    wsock::UnloadSocketLibrary();
}

TEST(SocketErrorText, TableTextsAndUnknownNumbers)
{
    EXPECT_EQ(SocketErrorText(0), "No Error");
    EXPECT_EQ(SocketErrorText(10004), "Interrupted system call");
    EXPECT_EQ(SocketErrorText(10035), "Operation would block");
    EXPECT_EQ(SocketErrorText(10047), "Address family not supported by protocol family");
    EXPECT_EQ(SocketErrorText(10058), "Can't send after socket shutdown");
    EXPECT_EQ(SocketErrorText(10059), "Too many references: can't splice");
    EXPECT_EQ(SocketErrorText(10061), "Connection refused");
    EXPECT_EQ(SocketErrorText(10071), "Too many levels of remote in path");
    EXPECT_EQ(SocketErrorText(10091), "Network sub-system is unusable");
    EXPECT_EQ(SocketErrorText(10092), "WinSock DLL cannot support this application");
    EXPECT_EQ(SocketErrorText(10093), "WinSock not initialized");
    EXPECT_EQ(SocketErrorText(11001), "Host not found");
    EXPECT_EQ(SocketErrorText(11004), "No Data");
    for (Integer n : {1, -1, 10000, 10072, 10090, 10094, 11000, 11005})
        EXPECT_EQ(SocketErrorText(n), "Not a WinSock error") << n;
}

TEST(SocketErrorText, EveryNumberBetweenTheRangesIsKnownOrUnknownButNeverEmpty)
{
    int known = 0;
    for (Integer n = 10000; n <= 11010; ++n) {
        std::string t = SocketErrorText(n);
        EXPECT_FALSE(t.empty());
        known += t != "Not a WinSock error";
    }
    EXPECT_EQ(known, 50); // 10004 ... 10093 and 11001 ... 11004 as tabled
}

TEST(SocketErrorMessage, RefusedConnectGivesTheTwoLineForm)
{
    TWSocket p;
    std::string message;
    wsock::WSASetLastError(platform::sock::WSAECONNREFUSED);
    try {
        p.ReportSocketError("Connect");
    } catch (const ESocketException& e) {
        message = e.Message();
    }
    EXPECT_EQ(message, "Error 10061 in function Connect\r\nConnection refused");
    EXPECT_EQ(p.LastError(), 10061);
}

} // namespace
