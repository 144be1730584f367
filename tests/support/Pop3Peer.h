// A scripted POP3 server for engine tests, on top of ScriptedPeer: it sends
// replies in chunks of a chosen size (down to one byte, each its own
// segment) and records every command line the client sent, so a test can
// assert the exact transcript. Plus Pop3EventLog, which records everything a
// client reports, in order, as one text line per event.
#pragma once

#include "pop3/Pop3Prot.h"
#include "tests/support/ScriptedPeer.h"

#include <mutex>
#include <string>
#include <vector>

namespace testsupport {

class Pop3Peer {
public:
    // ChunkSize 0 writes every reply in one piece.
    explicit Pop3Peer(size_t ChunkSize = 0);

    uint16_t Port() const { return FPeer.Port(); }
    std::string PortText() const { return FPeer.PortText(); }

    // Sends bytes exactly as given (CR LF included by the caller).
    Pop3Peer& Send(const std::string& Bytes);
    // Sends one line followed by CR LF.
    Pop3Peer& Reply(const std::string& Line) { return Send(Line + "\r\n"); }
    // Reads one command line (up to LF) and appends it to the transcript.
    Pop3Peer& Expect();
    // Expect() then Reply(Line).
    Pop3Peer& Answer(const std::string& Line) { return Expect().Reply(Line); }
    Pop3Peer& Sleep(int Ms);
    Pop3Peer& WaitFor(const std::string& Name);
    Pop3Peer& Close();

    void Start() { FPeer.Start(); }
    void Signal(const std::string& Name) { FPeer.Signal(Name); }
    bool Join(int TimeoutMs = 5000) { return FPeer.Join(TimeoutMs); }
    bool Finished() const { return FPeer.Finished(); }

    // The command lines received so far, each with its CR LF.
    std::string Transcript() const;

private:
    ScriptedPeer FPeer;
    size_t FChunkSize;
    mutable std::mutex FMutex;
    std::string FTranscript;
};

// Records the client's events as text lines: "state pop3Ready",
// "display > USER bob", "response +OK", "connected 0", "closed 0",
// "done pop3User 0", "listline 1 120", "uidlline 2 abc",
// "msgline <LastResponse>" (with " +" appended for a partial line), and
// "listbegin"/"listend"/"uidlbegin"/"uidlend"/"msgbegin"/"msgend".
class Pop3EventLog {
public:
    // Responses are recorded only when asked (they double most lines).
    void Attach(TCustomPop3Cli& Client, bool WithResponses = false);
    std::vector<std::string> Lines;
    // Number of OnRequestDone events seen.
    int DoneCount = 0;
    // The lines, each followed by "|"; state lines only when asked.
    std::string Joined(bool WithStates = true) const;
    // The lines that start with Prefix.
    std::vector<std::string> Only(const std::string& Prefix) const;
};

} // namespace testsupport
