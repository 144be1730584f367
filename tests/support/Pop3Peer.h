// A scripted POP3 server for engine tests, on top of ScriptedPeer: it sends
// replies in chunks of a chosen size (down to one byte, each its own
// segment) and records every command line the client sent. Pop3EventLog
// records what a client reports, in order, one text line per event.
#pragma once

#include "pop3/Pop3Prot.h"
#include "tests/support/ScriptedPeer.h"
#include "tests/support/TlsServer.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace testsupport {

class Pop3Peer {
public:
    // ChunkSize 0 writes every reply in one piece.
    explicit Pop3Peer(size_t ChunkSize = 0) : FChunkSize(ChunkSize) {}

    uint16_t Port() const { return FPeer.Port(); }
    std::string PortText() const { return FPeer.PortText(); }

    // Sends bytes exactly as given (CR LF included by the caller).
    Pop3Peer& Send(const std::string& Bytes);
    Pop3Peer& Reply(const std::string& Line) { return Send(Line + "\r\n"); }
    // Reads command lines (each up to LF) into the transcript. Several at
    // once make a pipelining peer: it answers only after the client has sent
    // them all without waiting for a reply.
    Pop3Peer& Expect(int Lines = 1);
    Pop3Peer& Answer(const std::string& Line) { return Expect().Reply(Line); }
    Pop3Peer& WaitFor(const std::string& Name) { FPeer.WaitFor(Name); return *this; }
    Pop3Peer& Close() { FPeer.Close(); return *this; }
    Pop3Peer& Reset() { FPeer.Reset(); return *this; }
    Pop3Peer& Sleep(int Ms) { FPeer.Sleep(Ms); return *this; }
    // From here on the conversation is TLS: the server's handshake, then
    // every Send is one TLS write whose records leave in pieces of the
    // chunk size. First in the script for POP3S, after "+OK" for STLS.
    Pop3Peer& StartTls(std::shared_ptr<TlsServer> Server);
    Pop3Peer& CloseNotify();

    void Start() { FPeer.Start(); }
    void Signal(const std::string& Name) { FPeer.Signal(Name); }
    bool Join(int TimeoutMs = 5000) { return FPeer.Join(TimeoutMs); }
    bool Finished() const { return FPeer.Finished(); }

    // The command lines received so far, each with its CR LF.
    std::string Transcript() const;

private:
    ScriptedPeer FPeer;
    size_t FChunkSize;
    std::shared_ptr<TlsServer> FTls; // set by the StartTls step
    mutable std::mutex FMutex;
    std::string FTranscript;
};

// Records events as "state pop3Ready", "display > USER bob", "connected 0",
// "closed 0", "done pop3User 0", "listline 1 120", "uidlline 2 abc",
// "msgline <LastResponse>" ("msgpart ..." for a piece of a longer line), and
// "listbegin"/"listend"/"uidlbegin"/"uidlend"/"msgbegin"/"msgend".
class Pop3EventLog {
public:
    void Attach(TCustomPop3Cli& Client);
    std::vector<std::string> Lines;
    int DoneCount = 0; // OnRequestDone events seen
    // The lines, each followed by "|"; state lines only when asked.
    std::string Joined(bool WithStates = true) const;
    std::vector<std::string> Only(const std::string& Prefix) const;
    // The lines of the last message (RETR or TOP), partial pieces joined.
    std::vector<std::string> Message() const;
};

} // namespace testsupport
