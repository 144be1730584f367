// Drives the POP3 engine with arbitrary server bytes, in arbitrary chunks,
// interleaved with arbitrary requests, server closes and resets. The server
// side is a loopback connection played from this same thread, so every run
// is deterministic apart from the kernel's segment boundaries.
//
// Input: a sequence of operations, each one byte (modulo 6) followed by its
// operands; a missing operand reads as 0.
//   0 n bytes  send n+1 bytes at once      3  server closes
//   1 r [v]    start request r (or Abort,  4  server resets
//              set MsgNum/MsgLines/        5 n bytes  send n+1 bytes one at a time
//              Pipelining/the SASL
//              mechanism to v)
//   2          process pending events
// Besides the sanitizers, it checks that no request is reported done more
// often than requests were started, and that once the server has closed and
// the client is idle again every started request has ended exactly once.
//
// Without libFuzzer (the normal and sanitizer builds) CorpusReplay.cpp runs
// the seed corpus through the same function as a test.
#include "pop3/Pop3Prot.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

int ListenFd = -1;
uint16_t ListenPort = 0;

void Listen()
{
    ListenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (ListenFd < 0 || ::bind(ListenFd, reinterpret_cast<sockaddr*>(&a), len) != 0 || ::listen(ListenFd, 8) != 0 ||
        ::getsockname(ListenFd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        std::abort();
    ListenPort = ntohs(a.sin_port);
}

class Input {
public:
    Input(const uint8_t* data, size_t size) : FData(data), FSize(size) {}
    bool More() const { return FPos < FSize; }
    uint8_t Take() { return FPos < FSize ? FData[FPos++] : 0; }
    std::string Bytes(size_t n)
    {
        n = std::min(n, FSize - FPos);
        std::string s(reinterpret_cast<const char*>(FData + FPos), n);
        FPos += n;
        return s;
    }

private:
    const uint8_t* FData;
    size_t FSize;
    size_t FPos = 0;
};

struct Server {
    int Fd = -1;

    // Takes the client's connection when one is waiting.
    void Accept()
    {
        pollfd p{ListenFd, POLLIN, 0};
        if (::poll(&p, 1, 5) > 0) {
            Drop();
            Fd = ::accept4(ListenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            // Every send leaves at once, so chunks reach the client as sent.
            int one = 1;
            if (Fd >= 0)
                ::setsockopt(Fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        }
    }
    void Send(const std::string& bytes) const
    {
        if (Fd >= 0)
            (void)::send(Fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    }
    // Reads and discards the client's commands so its sends never block.
    void Drain() const
    {
        char buf[4096];
        while (Fd >= 0 && ::recv(Fd, buf, sizeof buf, 0) > 0) {
        }
    }
    void Drop(bool reset = false)
    {
        if (Fd < 0)
            return;
        if (reset) {
            linger l{1, 0};
            ::setsockopt(Fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        }
        ::close(Fd);
        Fd = -1;
    }
};

using Operation = void (TCustomPop3Cli::*)();
const Operation Requests[] = {
    &TCustomPop3Cli::Connect, &TCustomPop3Cli::Open, &TCustomPop3Cli::User, &TCustomPop3Cli::Pass,
    &TCustomPop3Cli::RPop,    &TCustomPop3Cli::APop, &TCustomPop3Cli::Quit, &TCustomPop3Cli::Stat,
    &TCustomPop3Cli::List,    &TCustomPop3Cli::Retr, &TCustomPop3Cli::Top,  &TCustomPop3Cli::Dele,
    &TCustomPop3Cli::Noop,    &TCustomPop3Cli::Last, &TCustomPop3Cli::RSet, &TCustomPop3Cli::Uidl,
    &TCustomPop3Cli::Capa,
};

// SCRAM's client nonce is fixed, so that runs repeat and a server-first
// message in the input can extend it: "fuzz".
struct FuzzClient : TPop3Cli {
    std::string SaslClientNonce() override { return "fuzz"; }
};
constexpr uint8_t RequestCount = sizeof Requests / sizeof Requests[0];
// After the requests of the table; choices are only ever appended, so that
// the corpus keeps its meaning.
enum : uint8_t {
    ChoiceAbort = RequestCount,
    ChoiceMsgNum,
    ChoiceMsgLines,
    ChoiceTopAll,
    ChoicePipelining,
    ChoiceAuth,
    ChoiceMechanism,
    Choices
};

void Pump(Server& server)
{
    server.Drain();
    platform::EventLoop::ProcessPending();
}

// Pumps until the client is idle with nothing queued, for a bounded time
// (the close of a loopback connection is seen at once). Returns whether it is.
bool Settle(Server& server, const TCustomPop3Cli& client)
{
    for (int i = 0; i < 200; ++i) {
        Pump(server);
        if (client.State() == pop3Ready && !platform::EventLoop::HasPending())
            return true;
        platform::EventLoop::Wait(1);
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (ListenFd < 0)
        Listen();
    Input in(data, size);
    Server server;
    int started = 0;
    int done = 0;
    {
        FuzzClient client;
        client.SetHost("127.0.0.1");
        client.SetPort(std::to_string(ListenPort));
        client.SetUserName("user");
        client.SetPassWord("secret");
        client.OnRequestDone = [&](TObject*, TPop3Request, Word) { ++done; };
        client.OnMessageBegin = [&](TObject*) {
            try {
                client.Stat(); // refused: the transfer is still running
                std::abort();
            } catch (Pop3Exception&) {
            }
        };
        // POP3_FUZZ_TRACE=1 prints the conversation, to read an artifact.
        const bool trace = std::getenv("POP3_FUZZ_TRACE") != nullptr;
        if (trace)
            client.OnDisplay = [](TObject*, const std::string& Msg) { std::fprintf(stderr, "%s\n", Msg.c_str()); };
        std::string seen;
        client.OnMessageLine = [&](TObject*) { seen = client.LastResponse(); };
        client.OnListLine = [&](TObject*) { seen = client.MsgUidl(); };
        client.OnUidlLine = [&](TObject*) { seen = client.MsgUidl(); };

        while (in.More()) {
            const uint8_t op = in.Take() % 6;
            switch (op) {
            case 0:
                server.Send(in.Bytes(size_t(in.Take()) + 1));
                Pump(server);
                break;
            case 1: {
                const uint8_t r = in.Take() % Choices;
                if (r == ChoiceMechanism) {
                    const auto& names = TSaslMechanism::Names();
                    const size_t v = in.Take() % (names.size() + 1);
                    client.SetAuthMechanism(v < names.size() ? names[v] : "X-UNKNOWN");
                } else if (r == ChoiceAbort) {
                    client.Abort();
                } else if (r == ChoiceMsgNum) {
                    client.SetMsgNum(static_cast<int8_t>(in.Take()));
                } else if (r == ChoiceMsgLines) {
                    client.SetMsgLines(static_cast<int8_t>(in.Take()));
                } else if (r == ChoicePipelining) {
                    client.SetPipelining(in.Take() & 1);
                } else {
                    try {
                        (client.*(r == ChoiceTopAll ? &TCustomPop3Cli::TopAll
                                  : r == ChoiceAuth ? &TCustomPop3Cli::Auth
                                                    : Requests[r]))();
                        ++started;
                    } catch (Exception& E) {
                        if (trace)
                            std::fprintf(stderr, "refused: %s\n", E.Message().c_str());
                    }
                    if (client.State() == pop3Connecting)
                        server.Accept();
                }
                Pump(server);
                break;
            }
            case 2:
                Pump(server);
                break;
            case 3:
            case 4: {
                const bool connected = server.Fd >= 0;
                server.Drop(op == 4);
                if (connected && Settle(server, client) && done != started)
                    std::abort();
                break;
            }
            case 5:
                for (char ch : in.Bytes(size_t(in.Take()) + 1)) {
                    server.Send(std::string(1, ch));
                    Pump(server);
                }
                break;
            }
            if (done > started)
                std::abort();
        }
        // The client goes while its request may still be open, unless the
        // server's close ends it first.
        const bool connected = server.Fd >= 0;
        server.Drop();
        if (connected && Settle(server, client) && done != started)
            std::abort();
    }
    server.Drop();
    platform::EventLoop::ProcessPending();
    return 0;
}
