// The life of socket objects on real loopback connections: event order,
// closes, background exceptions, listen/accept/Dup, datagrams, pause and the
// deferred operations.
#include "socket/WSocket.h"
#include "tests/support/ScriptedPeer.h"

#include <gtest/gtest.h>

#include <sys/socket.h>

#include <memory>
#include <string>
#include <vector>

using testsupport::PumpFor;
using testsupport::PumpUntil;
using testsupport::ScriptedPeer;

namespace {

// Records every event of a socket as one line, in order.
struct EventLog {
    std::vector<std::string> Lines;

    void Attach(TCustomWSocket& s, bool readData = true)
    {
        s.OnChangeState = [this](TObject*, TSocketState from, TSocketState to) {
            Lines.push_back(std::string("state ") + SocketStateName(from) + ">" + SocketStateName(to));
        };
        s.OnSessionConnected = [this](TObject*, Word e) { Lines.push_back("connected " + std::to_string(e)); };
        s.OnSessionClosed = [this](TObject*, Word e) { Lines.push_back("closed " + std::to_string(e)); };
        s.OnDataSent = [this](TObject*, Word e) { Lines.push_back("sent " + std::to_string(e)); };
        if (readData)
            s.OnDataAvailable = [this](TObject* sender, Word) {
                std::string got = static_cast<TCustomWSocket*>(sender)->ReceiveStr();
                if (!got.empty())
                    Data += got;
                if (Lines.empty() || Lines.back() != "data")
                    Lines.push_back("data");
            };
    }
    int Count(const std::string& line) const
    {
        return static_cast<int>(std::count(Lines.begin(), Lines.end(), line));
    }
    std::string Data;
};

std::string Joined(const std::vector<std::string>& lines)
{
    std::string out;
    for (const auto& l : lines)
        out += l + "\n";
    return out;
}

std::string ErrorMessageOf(const std::function<void()>& action)
{
    try {
        action();
    } catch (const ESocketException& e) {
        return e.Message();
    }
    return "(no exception)";
}

void ConnectTo(TCustomWSocket& s, uint16_t port, const std::string& proto = "tcp")
{
    s.SetAddr("127.0.0.1");
    s.SetPort(std::to_string(port));
    s.SetProto(proto);
    s.Connect();
}

int SocketOption(TCustomWSocket& s, int option)
{
    int value = 0;
    socklen_t len = sizeof value;
    ::getsockopt(platform::sock::DescriptorOf(s.SocketHandle()), SOL_SOCKET, option, &value, &len);
    return value;
}

TEST(ClientConnection, FullLifeHasTheDocumentedEventOrder)
{
    ScriptedPeer peer;
    peer.Write("hello").Sleep(50).Close();
    peer.Start();

    TWSocket s;
    EventLog log;
    log.Attach(s);
    ConnectTo(s, peer.Port());
    EXPECT_EQ(s.State(), wsConnecting) << "Connect only starts the connection";
    ASSERT_TRUE(PumpUntil([&] { return log.Count("closed 0") > 0; }));

    EXPECT_EQ(Joined(log.Lines), "state wsClosed>wsOpened\n"
                                 "state wsOpened>wsConnecting\n"
                                 "state wsConnecting>wsConnected\n"
                                 "connected 0\n"
                                 "sent 0\n"
                                 "data\n"
                                 "closed 0\n"
                                 "state wsConnected>wsClosed\n");
    EXPECT_EQ(log.Data, "hello");
    EXPECT_EQ(s.State(), wsClosed);
    EXPECT_EQ(s.SocketHandle(), INVALID_SOCKET);
    PumpFor(100);
    EXPECT_EQ(log.Count("closed 0"), 1) << "no late second close";
}

TEST(ClientConnection, DataSentBeforeTheCloseIsDeliveredBeforeOnSessionClosed)
{
    std::string big(20000, 'x');
    ScriptedPeer peer;
    peer.Write(big).Close();
    peer.Start();

    TWSocket s;
    EventLog log;
    log.Attach(s);
    ConnectTo(s, peer.Port());
    ASSERT_TRUE(PumpUntil([&] { return log.Count("closed 0") > 0; }));
    EXPECT_EQ(log.Data, big);
    EXPECT_EQ(log.Count("closed 0"), 1);
}

TEST(ClientConnection, RefusedConnectionReportsTheErrorThenClosesWithZero)
{
    TWSocket s;
    EventLog log;
    log.Attach(s);
    ConnectTo(s, testsupport::UnusedPort());
    ASSERT_TRUE(PumpUntil([&] { return s.State() == wsClosed; }));
    PumpFor(50);
    EXPECT_EQ(Joined(log.Lines), "state wsClosed>wsOpened\n"
                                 "state wsOpened>wsConnecting\n"
                                 "state wsConnecting>wsConnected\n"
                                 "connected 10061\n"
                                 "state wsConnected>wsClosed\n"
                                 "closed 0\n");
}

TEST(ClientConnection, PeerResetGivesOneCloseWith10054)
{
    ScriptedPeer peer;
    peer.Sleep(50).Reset();
    peer.Start();

    TWSocket s;
    EventLog log;
    log.Attach(s);
    ConnectTo(s, peer.Port());
    ASSERT_TRUE(PumpUntil([&] { return s.State() == wsClosed; }));
    PumpFor(50);
    EXPECT_EQ(log.Count("closed 10054"), 1) << Joined(log.Lines);
    EXPECT_EQ(log.Count("closed 0"), 0);
}

TEST(ClientConnection, CloseInsideOnSessionClosedFiresNoSecondClose)
{
    ScriptedPeer peer;
    peer.Close();
    peer.Start();

    TWSocket s;
    int closes = 0;
    s.OnSessionClosed = [&](TObject*, Word) {
        ++closes;
        s.Close();
    };
    ConnectTo(s, peer.Port());
    ASSERT_TRUE(PumpUntil([&] { return closes > 0 && s.State() == wsClosed; }));
    PumpFor(50);
    EXPECT_EQ(closes, 1);
}

TEST(ClientConnection, HandlerClosingDuringTheLastDeliveryGivesOneClose)
{
    ScriptedPeer peer;
    peer.Write("last words").Close();
    peer.Start();

    TWSocket s;
    EventLog log;
    log.Attach(s);
    s.OnDataAvailable = [&](TObject*, Word) {
        log.Data += s.ReceiveStr();
        if (log.Data == "last words")
            s.Close();
    };
    ConnectTo(s, peer.Port());
    ASSERT_TRUE(PumpUntil([&] { return s.State() == wsClosed; }));
    PumpFor(50);
    EXPECT_EQ(log.Count("closed 0"), 1) << Joined(log.Lines);
}

TEST(ClientConnection, CloseNotificationWhileConnectingChangesNothing)
{
    ScriptedPeer peer;
    peer.Sleep(100);
    peer.Start();

    TWSocket s;
    EventLog log;
    log.Attach(s);
    ConnectTo(s, peer.Port());
    ASSERT_EQ(s.State(), wsConnecting);
    // Queued ahead of the real connect notification.
    platform::PostNotification(s.NotifyEndpoint(), WM_ASYNCSELECT, s.SocketHandle(), platform::sock::FD_CLOSE);
    ASSERT_TRUE(PumpUntil([&] { return s.State() == wsConnected; }));
    EXPECT_EQ(log.Count("closed 0"), 0);
    s.Close();
}

TEST(ClientConnection, StaleNotificationsForAnotherHandleAreIgnored)
{
    TWSocket s;
    EventLog log;
    log.Attach(s);
    platform::PostNotification(s.NotifyEndpoint(), WM_ASYNCSELECT, 12345,
                               platform::sock::FD_CONNECT | (10061 << 16));
    PumpFor(20);
    EXPECT_TRUE(log.Lines.empty());
}

TEST(ConnectChecks, ReportsInTheDocumentedOrder)
{
    TWSocket s;
    EXPECT_EQ(ErrorMessageOf([&] { s.Connect(); }), "Connect: No Port Specified");
    s.SetPort("  110 ");
    EXPECT_EQ(s.Port(), "110");
    EXPECT_EQ(ErrorMessageOf([&] { s.Connect(); }), "Connect: No IP Address Specified");
    s.SetAddr("   ");
    EXPECT_FALSE(s.HasAddr());
    EXPECT_EQ(ErrorMessageOf([&] { s.Connect(); }), "Connect: No IP Address Specified");
    s.SetAddr("127.0.0.1");
    s.SetProto("");
    EXPECT_EQ(ErrorMessageOf([&] { s.Connect(); }), "Connect: No Protocol Specified");
    s.SetProto("nosuchproto");
    EXPECT_EQ(ErrorMessageOf([&] { s.Connect(); }),
              "connect: WSocketResolveProto: Cannot convert protocol 'nosuchproto'");
    EXPECT_EQ(s.State(), wsClosed);
}

TEST(ConnectChecks, ConnectedSocketRefusesChangesAndSecondConnect)
{
    ScriptedPeer peer;
    peer.WaitFor("done");
    peer.Start();

    TWSocket s;
    ConnectTo(s, peer.Port());
    ASSERT_TRUE(PumpUntil([&] { return s.State() == wsConnected; }));
    EXPECT_EQ(ErrorMessageOf([&] { s.Connect(); }), "Connect: Socket already in use");
    EXPECT_EQ(ErrorMessageOf([&] { s.SetPort("111"); }), "Cannot change Port if not closed");
    EXPECT_EQ(ErrorMessageOf([&] { s.SetAddr("127.0.0.2"); }), "Cannot change Addr if not closed");
    EXPECT_EQ(ErrorMessageOf([&] { s.SetProto("udp"); }), "Cannot change Proto if not closed");
    // The same text as before is accepted in any state.
    EXPECT_EQ(ErrorMessageOf([&] { s.SetPort(peer.PortText()); }), "(no exception)");
    EXPECT_EQ(ErrorMessageOf([&] { s.SetAddr("127.0.0.1"); }), "(no exception)");

    int errors = 0;
    s.OnError = [&](TObject*) { ++errors; };
    s.SetPort("112");
    EXPECT_EQ(errors, 1);
    EXPECT_EQ(s.Port(), peer.PortText()) << "nothing stored";
    peer.Signal("done");
    s.Close();
}

TEST(ConnectChecks, EveryCloseRestoresTheDefaults)
{
    ScriptedPeer peer;
    peer.Close();
    peer.Start();

    TWSocket s;
    s.SetLocalPort("0");
    s.SetLingerTimeout(7);
    ConnectTo(s, peer.Port());
    ASSERT_TRUE(PumpUntil([&] { return s.State() == wsClosed; }));
    EXPECT_FALSE(s.HasPort());
    EXPECT_FALSE(s.HasAddr());
    EXPECT_EQ(s.Proto(), "tcp");
    EXPECT_EQ(s.LocalPort(), "0");
    EXPECT_EQ(s.LocalAddr(), "0.0.0.0");
    EXPECT_EQ(s.LingerOnOff(), wsLingerOn);
    EXPECT_EQ(s.LingerTimeout(), 0);
    EXPECT_EQ(s.ReadCount(), 0);
    EXPECT_EQ(ErrorMessageOf([&] { s.Connect(); }), "Connect: No Port Specified");

    // Assigning the same texts again makes Connect work.
    ScriptedPeer second;
    second.Close();
    second.Start();
    bool connected = false;
    s.OnSessionConnected = [&](TObject*, Word e) { connected = e == 0; };
    ConnectTo(s, second.Port());
    ASSERT_TRUE(PumpUntil([&] { return connected; }));
    s.Close();
}

TEST(BackgroundExceptions, HandlerExceptionReachesOnBgExceptionAndAbortsByDefault)
{
    ScriptedPeer peer;
    peer.WaitFor("done");
    peer.Start();

    TWSocket s;
    std::string seen;
    s.OnSessionConnected = [](TObject*, Word) { throw ESocketException("boom"); };
    s.OnBgException = [&](TObject*, Exception& e, bool&) { seen = e.Message(); };
    ConnectTo(s, peer.Port());
    ASSERT_TRUE(PumpUntil([&] { return !seen.empty(); }));
    EXPECT_EQ(seen, "boom");
    EXPECT_EQ(s.State(), wsClosed);
    peer.Signal("done");
}

TEST(BackgroundExceptions, CanCloseFalseKeepsTheConnection)
{
    ScriptedPeer peer;
    peer.WaitFor("done");
    peer.Start();

    TWSocket s;
    int seen = 0;
    s.OnSessionConnected = [](TObject*, Word) { throw Exception("boom"); };
    s.OnBgException = [&](TObject*, Exception&, bool& canClose) {
        ++seen;
        canClose = false;
    };
    ConnectTo(s, peer.Port());
    ASSERT_TRUE(PumpUntil([&] { return seen > 0; }));
    EXPECT_EQ(s.State(), wsConnected);

    // The test notification raises inside dispatch as well.
    std::string message;
    s.OnBgException = [&](TObject*, Exception& e, bool& canClose) {
        message = e.Message();
        canClose = false;
    };
    platform::PostNotification(s.NotifyEndpoint(), WM_TRIGGER_EXCEPTION, 0, 0);
    ASSERT_TRUE(PumpUntil([&] { return !message.empty(); }));
    EXPECT_EQ(message, "Test exception in WSocket");
    peer.Signal("done");
    s.Close();
}

TEST(BackgroundExceptions, WithoutAHandlerTheSocketIsAborted)
{
    ScriptedPeer peer;
    peer.WaitFor("done");
    peer.Start();

    TWSocket s;
    EventLog log;
    log.Attach(s);
    s.OnSessionConnected = [](TObject*, Word) { throw ESocketException("boom"); };
    ConnectTo(s, peer.Port());
    ASSERT_TRUE(PumpUntil([&] { return s.State() == wsClosed; }));
    EXPECT_EQ(log.Count("closed 0"), 1);
    peer.Signal("done");
}

TEST(ListenAccept, AcceptedConnectionIsHandedToASecondSocketByDup)
{
    TWSocket server;
    server.SetAddr("127.0.0.1");
    server.SetPort("0");
    EventLog serverLog;
    serverLog.Attach(server);
    TWSocket worker;
    EventLog workerLog;
    workerLog.Attach(worker);
    server.OnSessionAvailable = [&](TObject*, Word e) {
        ASSERT_EQ(e, 0);
        TSocket h = server.Accept();
        ASSERT_NE(h, INVALID_SOCKET);
        EXPECT_EQ(server.AcceptedHandle(), h);
        worker.Dup(h);
    };
    server.Listen();
    ASSERT_EQ(server.State(), wsListening);
    std::string port = server.GetBoundPort();
    ASSERT_NE(port, "error");
    ASSERT_NE(port, "0");

    TWSocket client;
    EventLog clientLog;
    clientLog.Attach(client);
    client.OnSessionConnected = [&](TObject*, Word) { client.SendStr("ping"); };
    client.SetAddr("127.0.0.1");
    client.SetPort(port);
    client.Connect();

    ASSERT_TRUE(PumpUntil([&] { return workerLog.Data == "ping"; }));
    EXPECT_EQ(worker.State(), wsConnected);
    EXPECT_EQ(worker.PeerAddr(), "127.0.0.1");
    EXPECT_EQ(worker.PeerPort(), client.GetBoundPort());
    EXPECT_EQ(server.State(), wsListening) << "the listener keeps listening";

    worker.SendStr("pong");
    ASSERT_TRUE(PumpUntil([&] { return clientLog.Data == "pong"; }));
    // The default linger (on, 0 seconds) makes the close abortive, so the
    // client sees a reset; either way it hears of the close exactly once.
    worker.Close();
    ASSERT_TRUE(PumpUntil([&] { return client.State() == wsClosed; }));
    EXPECT_EQ(clientLog.Count("closed 0") + clientLog.Count("closed 10054"), 1) << Joined(clientLog.Lines);
    server.Close();
    EXPECT_EQ(server.State(), wsClosed);
}

TEST(ListenAccept, FailuresCarryTheFunctionNameAndText)
{
    TWSocket s;
    EXPECT_EQ(ErrorMessageOf([&] { s.Listen(); }),
              "Error 10022 in function listen: port not assigned\r\nInvalid argument");
    s.SetPort("0");
    EXPECT_EQ(ErrorMessageOf([&] { s.Listen(); }),
              "Error 10022 in function listen: address not assigned\r\nInvalid argument");
    EXPECT_EQ(ErrorMessageOf([&] { s.Accept(); }),
              "Error 10022 in function not a listening socket\r\nInvalid argument");
    EXPECT_EQ(ErrorMessageOf([&] { s.Dup(0); }), "Error 10022 in function Dup\r\nInvalid argument");
}

TEST(ListenAccept, FailedBindReleasesTheHandle)
{
    TWSocket first;
    first.SetAddr("127.0.0.1");
    first.SetPort("0");
    first.Listen();
    std::string port = first.GetBoundPort();

    TWSocket second;
    EventLog log;
    log.Attach(second);
    second.SetAddr("127.0.0.1");
    second.SetPort(port);
    EXPECT_EQ(ErrorMessageOf([&] { second.Listen(); }),
              "Error 10048 in function Bind\r\nAddress already in use");
    EXPECT_EQ(second.State(), wsClosed);
    EXPECT_EQ(second.SocketHandle(), INVALID_SOCKET);
    EXPECT_TRUE(log.Lines.empty()) << Joined(log.Lines);
}

TEST(ListenAccept, ResumeOnAListeningSocketNoLongerReportsConnections)
{
    TWSocket server;
    server.SetAddr("127.0.0.1");
    server.SetPort("0");
    int available = 0;
    server.OnSessionAvailable = [&](TObject*, Word) { ++available; };
    server.Listen();
    server.Pause();
    server.Resume();

    TWSocket client;
    bool connected = false;
    client.OnSessionConnected = [&](TObject*, Word e) { connected = e == 0; };
    client.SetAddr("127.0.0.1");
    client.SetPort(server.GetBoundPort());
    client.Connect();
    ASSERT_TRUE(PumpUntil([&] { return connected; }));
    PumpFor(100);
    EXPECT_EQ(available, 0);
}

TEST(Datagram, ConnectIsImmediateAndSetsBroadcastForTheBroadcastAddress)
{
    TWSocket s;
    EventLog log;
    log.Attach(s);
    s.SetAddr("255.255.255.255");
    s.SetPort("9");
    s.SetProto("udp");
    s.Connect();
    EXPECT_EQ(s.SocketKind(), SOCK_DGRAM);
    EXPECT_EQ(s.ProtoNumber(), 17);
    EXPECT_EQ(s.State(), wsConnected);
    EXPECT_EQ(Joined(log.Lines), "state wsClosed>wsOpened\n"
                                 "state wsOpened>wsConnected\n"
                                 "connected 0\n");
    EXPECT_NE(SocketOption(s, SO_BROADCAST), 0);
    s.Close();
    EXPECT_EQ(s.State(), wsClosed);
}

TEST(Datagram, ListenGoesThroughBoundAndListeningToConnected)
{
    TWSocket s;
    EventLog log;
    log.Attach(s);
    s.SetAddr("127.0.0.1");
    s.SetPort("0");
    s.SetProto("udp");
    s.Listen();
    EXPECT_EQ(Joined(log.Lines), "state wsClosed>wsBound\n"
                                 "state wsBound>wsListening\n"
                                 "state wsListening>wsConnected\n"
                                 "connected 0\n");
    EXPECT_NE(s.GetBoundPort(), "error");
    s.Close();
}

TEST(StreamOptions, ConnectSetsKeepAliveReuseAndLinger)
{
    ScriptedPeer peer;
    peer.WaitFor("done");
    peer.Start();
    TWSocket s;
    ConnectTo(s, peer.Port());
    EXPECT_NE(SocketOption(s, SO_KEEPALIVE), 0);
    EXPECT_NE(SocketOption(s, SO_REUSEADDR), 0);
    linger l{};
    socklen_t len = sizeof l;
    ::getsockopt(platform::sock::DescriptorOf(s.SocketHandle()), SOL_SOCKET, SO_LINGER, &l, &len);
    EXPECT_EQ(l.l_onoff, 1);
    EXPECT_EQ(l.l_linger, 0);
    peer.Signal("done");
    s.Abort();
}

TEST(Closing, AbortSwitchesLingerOffBeforeClosingThenDefaultsReturn)
{
    ScriptedPeer peer;
    peer.ReadUntilClosed();
    peer.Start();

    TWSocket s;
    TSocketLingerOnOff atClose = wsLingerNoSet;
    ConnectTo(s, peer.Port());
    ASSERT_TRUE(PumpUntil([&] { return s.State() == wsConnected; }));
    s.OnChangeState = [&](TObject*, TSocketState, TSocketState to) {
        if (to == wsClosed)
            atClose = s.LingerOnOff();
    };
    s.Abort();
    EXPECT_EQ(atClose, wsLingerOff);
    EXPECT_EQ(s.LingerOnOff(), wsLingerOn);
    EXPECT_EQ(s.LingerTimeout(), 0);
    EXPECT_TRUE(peer.Join()) << "the peer saw the connection end";
}

TEST(Closing, ScheduleCloseReturnsAtOnceAndClosesFromTheLoop)
{
    ScriptedPeer peer;
    peer.WaitFor("done");
    peer.Start();

    TWSocket s;
    EventLog log;
    log.Attach(s);
    ConnectTo(s, peer.Port());
    ASSERT_TRUE(PumpUntil([&] { return s.State() == wsConnected; }));
    s.ScheduleClose();
    EXPECT_EQ(s.State(), wsConnected);
    ASSERT_TRUE(PumpUntil([&] { return s.State() == wsClosed; }));
    EXPECT_EQ(log.Count("closed 0"), 1);
    peer.Signal("done");
}

TEST(Closing, ScheduleDestroyFreesTheObjectFromTheLoop)
{
    struct Tracked : TWSocket {
        bool* Gone;
        explicit Tracked(TComponent* owner, bool* gone) : TWSocket(owner), Gone(gone) {}
        ~Tracked() override { *Gone = true; }
    };
    TComponent owner;
    bool gone = false;
    auto* s = new Tracked(&owner, &gone);
    ASSERT_EQ(owner.ComponentCount(), 1);
    s->ScheduleDestroy();
    EXPECT_FALSE(gone);
    ASSERT_TRUE(PumpUntil([&] { return gone; }));
    EXPECT_EQ(owner.ComponentCount(), 0);
}

TEST(Closing, DestroyingAConnectedSocketFiresNoSessionClosed)
{
    ScriptedPeer peer;
    peer.ReadUntilClosed();
    peer.Start();

    int closes = 0;
    {
        TWSocket s;
        s.OnSessionClosed = [&](TObject*, Word) { ++closes; };
        ConnectTo(s, peer.Port());
        ASSERT_TRUE(PumpUntil([&] { return s.State() == wsConnected; }));
    }
    EXPECT_EQ(closes, 0);
    EXPECT_TRUE(peer.Join());
}

TEST(Closing, OwnerFreesItsSockets)
{
    auto owner = std::make_unique<TComponent>();
    new TWSocket(owner.get());
    new TWSocket(owner.get());
    EXPECT_EQ(TCustomWSocket::SocketInstanceCount(), 2);
    owner.reset();
    EXPECT_EQ(TCustomWSocket::SocketInstanceCount(), 0);
}

TEST(Closing, WaitUntilClosedReturnsOnceThePeerHasClosed)
{
    ScriptedPeer peer;
    peer.Sleep(50).Write("bye").Close();
    peer.Start();

    TWSocket s;
    EventLog log;
    log.Attach(s);
    ConnectTo(s, peer.Port());
    ASSERT_TRUE(PumpUntil([&] { return s.State() == wsConnected; }));
    s.WaitUntilClosed();
    EXPECT_EQ(s.State(), wsClosed);
    EXPECT_EQ(log.Data, "bye");
}

TEST(Pause, QueuedNotificationsAreIgnoredWhilePausedAndResumeDeliversWaitingData)
{
    ScriptedPeer peer;
    peer.WaitFor("write").Write("abc").WaitFor("done");
    peer.Start();

    TWSocket s;
    EventLog log;
    log.Attach(s);
    ConnectTo(s, peer.Port());
    ASSERT_TRUE(PumpUntil([&] { return s.State() == wsConnected; }));
    PumpFor(20);
    s.Pause();
    platform::PostNotification(s.NotifyEndpoint(), WM_ASYNCSELECT, s.SocketHandle(), platform::sock::FD_READ);
    peer.Signal("write");
    PumpFor(150);
    EXPECT_EQ(log.Count("data"), 0);
    s.Resume();
    ASSERT_TRUE(PumpUntil([&] { return log.Data == "abc"; }));
    peer.Signal("done");
    s.Close();
}

TEST(Published, PropertiesCanBeReadAndWrittenByName)
{
    TWSocket s;
    const TStrings& names = TWSocket::PublishedProperties();
    ASSERT_GE(names.size(), 7u);
    const TStrings head(names.begin(), names.begin() + 7);
    EXPECT_EQ(head, (TStrings{"Name", "Tag", "LineEnd", "LineMode", "LineEcho", "LineEdit", "Addr"}));
    s.SetPropertyByName("Addr", " 127.0.0.1 ");
    s.SetPropertyByName("Port", "pop3");
    s.SetPropertyByName("LingerOnOff", "wsLingerNoSet");
    s.SetPropertyByName("MultiThreaded", "True");
    s.SetPropertyByName("LineMode", "True");
    EXPECT_TRUE(s.LineMode());
    EXPECT_EQ(s.GetPropertyByName("LineEnd"), "\r\n");
    EXPECT_EQ(s.Addr(), "127.0.0.1");
    EXPECT_EQ(s.GetPropertyByName("Port"), "pop3");
    EXPECT_EQ(s.LingerOnOff(), wsLingerNoSet);
    EXPECT_TRUE(s.MultiThreaded());
    EXPECT_EQ(s.GetPropertyByName("State"), "wsClosed");
    EXPECT_EQ(s.GetPropertyByName("FlushTimeout"), "60");
    EXPECT_EQ(s.GetPropertyByName("PeerAddr"), "error");
    EXPECT_THROW(s.SetPropertyByName("State", "wsConnected"), ESocketException);
    EXPECT_THROW(s.SetPropertyByName("NoSuch", "1"), ESocketException);
    EXPECT_THROW(s.SetPropertyByName("LingerTimeout", "ten"), ESocketException);
}

TEST(Pumps, ThreadPumpNotesAQuitRequestWithoutDispatchingIt)
{
    TWSocket s;
    s.SetMultiThreaded(true);
    platform::PostQuitRequest();
    s.ProcessMessages();
    EXPECT_TRUE(s.QuitSeen());
}

TEST(TimeValues, SetClearAndCompare)
{
    TWSocket s;
    TTimeVal a{1, 0}, b{1, 0}, c{0, 5};
    EXPECT_TRUE(s.TimevalIsSet(a));
    EXPECT_TRUE(s.TimevalIsSet(c));
    EXPECT_TRUE(s.TimevalCompare(a, b, true));
    EXPECT_FALSE(s.TimevalCompare(a, b, false));
    EXPECT_TRUE(s.TimevalCompare(a, c, false));
    s.TimevalClear(a);
    EXPECT_FALSE(s.TimevalIsSet(a));
}

} // namespace
