#include "tests/support/Pop3Peer.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <thread>

namespace testsupport {

Pop3Peer& Pop3Peer::Send(const std::string& Bytes)
{
    const size_t chunk = FChunkSize == 0 ? Bytes.size() : FChunkSize;
    FPeer.Do([this, Bytes, chunk](int fd) {
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (FTls) {
            FTls->Send(fd, Bytes);
            return;
        }
        for (size_t off = 0; off < Bytes.size(); off += chunk) {
            const size_t n = std::min(chunk, Bytes.size() - off);
            if (::send(fd, Bytes.data() + off, n, MSG_NOSIGNAL) != static_cast<ssize_t>(n))
                return;
            // Gives the client a chance to read each chunk on its own.
            if (chunk < Bytes.size())
                std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
    });
    return *this;
}

Pop3Peer& Pop3Peer::Expect(int Lines)
{
    FPeer.Do([this, Lines](int fd) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        std::string line;
        int seen = 0;
        while (seen < Lines && std::chrono::steady_clock::now() < deadline) {
            char ch = 0;
            if (FTls) {
                const int r = FTls->ReadByte(fd, ch, 50);
                if (r < 0)
                    break;
                if (r == 0)
                    continue;
            } else {
                pollfd p{fd, POLLIN, 0};
                if (::poll(&p, 1, 50) <= 0)
                    continue;
                if (::recv(fd, &ch, 1, 0) != 1)
                    break;
            }
            line += ch;
            seen += ch == '\n';
        }
        std::lock_guard lock(FMutex);
        FTranscript += line;
    });
    return *this;
}

Pop3Peer& Pop3Peer::StartTls(std::shared_ptr<TlsServer> Server)
{
    Server->SetChunkSize(FChunkSize);
    FPeer.Do([this, Server](int fd) {
        if (Server->Accept(fd))
            FTls = Server;
    });
    return *this;
}

Pop3Peer& Pop3Peer::CloseNotify()
{
    FPeer.Do([this](int fd) {
        if (FTls)
            FTls->SendCloseNotify(fd);
    });
    return *this;
}

std::string Pop3Peer::Transcript() const
{
    std::lock_guard lock(FMutex);
    return FTranscript;
}

void Pop3EventLog::Attach(TCustomPop3Cli& Client)
{
    auto add = [this](std::string line) { Lines.push_back(std::move(line)); };
    auto mark = [add](const char* Name) { return [add, Name](TObject*) { add(Name); }; };
    auto* client = &Client;
    Client.OnStateChange = [add, client](TObject*) { add(std::string("state ") + Pop3StateName(client->State())); };
    Client.OnDisplay = [add](TObject*, const std::string& Msg) { add("display " + Msg); };
    Client.OnSessionConnected = [add](TObject*, Word Error) { add("connected " + std::to_string(Error)); };
    Client.OnSessionClosed = [add](TObject*, Word Error) { add("closed " + std::to_string(Error)); };
    Client.OnRequestDone = [this, add](TObject*, TPop3Request RqType, Word Error) {
        ++DoneCount;
        add(std::string("done ") + Pop3RequestName(RqType) + " " + std::to_string(Error));
    };
    Client.OnListBegin = mark("listbegin");
    Client.OnListEnd = mark("listend");
    Client.OnListLine = [add, client](TObject*) {
        add("listline " + std::to_string(client->MsgNum()) + " " + std::to_string(client->MsgSize()));
    };
    Client.OnUidlBegin = mark("uidlbegin");
    Client.OnUidlEnd = mark("uidlend");
    Client.OnUidlLine = [add, client](TObject*) {
        add("uidlline " + std::to_string(client->MsgNum()) + " " + client->MsgUidl());
    };
    Client.OnMessageBegin = mark("msgbegin");
    Client.OnMessageEnd = mark("msgend");
    Client.OnMessageLine = [add, client](TObject*) {
        add((client->PartialLine() ? "msgpart " : "msgline ") + client->LastResponse());
    };
}

std::string Pop3EventLog::Joined(bool WithStates) const
{
    std::string out;
    for (const auto& l : Lines)
        if (WithStates || l.compare(0, 6, "state ") != 0)
            out += l + "|";
    return out;
}

std::vector<std::string> Pop3EventLog::Only(const std::string& Prefix) const
{
    std::vector<std::string> out;
    for (const auto& l : Lines)
        if (l.compare(0, Prefix.size(), Prefix) == 0)
            out.push_back(l);
    return out;
}

std::vector<std::string> Pop3EventLog::Message() const
{
    std::vector<std::string> out;
    bool joining = false;
    auto from = std::find(Lines.rbegin(), Lines.rend(), "msgbegin").base();
    for (auto l = from; l != Lines.end(); ++l) {
        const bool part = l->compare(0, 8, "msgpart ") == 0;
        if (!part && l->compare(0, 8, "msgline ") != 0)
            continue;
        if (joining)
            out.back() += l->substr(8);
        else
            out.push_back(l->substr(8));
        joining = part;
    }
    return out;
}

} // namespace testsupport
