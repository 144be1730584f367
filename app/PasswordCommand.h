// The account's password command ("Account"/"PasswordCommand"): a shell
// command whose first line of standard output is the password or the OAuth2
// access token, run afresh for every check (tokens expire). This is how a
// password comes from a keyring (`secret-tool lookup ...`), a password
// manager or an OAuth2 token helper.
//
// The command runs through `/bin/sh -c` as a child in a session and process
// group of its own (no controlling terminal, so nothing can wait on a tty
// the user does not look at), with standard input from /dev/null and the
// program's environment. Run() returns once the command has ended, pumping
// the application's loop meanwhile (the window stays usable, as during the
// blocking POP3 calls); after the time limit, or on Cancel(), the whole
// process group is killed.
//
// Qt's QProcess does the starting and the reaping: it already lives on the
// loop the program runs, and spares a second mechanism for child processes
// below app/ that nothing else needs. What it leaves to us is the process
// group, the time limit and the bounds on what is read.
//
// The output is a secret: it is kept here and handed to the caller only,
// never logged or shown. Standard error is kept (bounded) for the error box.
#pragma once

#include <QProcess>

#include <string>
#include <utility>

enum TPasswordCommandResult : uint8_t {
    cmdOk,          // exit status 0 and a first line that is not empty
    cmdNotStarted,  // /bin/sh could not be started
    cmdExitStatus,  // ended with a status other than 0
    cmdSignal,      // ended by a signal
    cmdNoOutput,    // exit status 0, but the first line is empty
    cmdLineTooLong, // the first line exceeds kMaxSecretBytes
    cmdTimedOut,    // still running at the time limit: killed
    cmdCancelled,   // Cancel() during the run: killed
};

class TPasswordCommand {
public:
    // The time limit of a run: a token helper that asks a server needs a
    // few seconds; one that waits for something that never comes must not
    // hold up the check for longer than this.
    static constexpr int kTimeLimitMs = 30000;
    // At most this much of the first line is taken (an OAuth2 access token
    // is a few kilobytes); more makes the run fail rather than cut a secret.
    static constexpr qsizetype kMaxSecretBytes = 65536;
    // At most this much of standard error is kept for the error box.
    static constexpr qsizetype kMaxErrorBytes = 4096;

    explicit TPasswordCommand(int timeLimitMs = kTimeLimitMs);
    ~TPasswordCommand();
    TPasswordCommand(const TPasswordCommand&) = delete;
    TPasswordCommand& operator=(const TPasswordCommand&) = delete;

    // Runs command (8-bit text, Windows-1252 as the settings hold it) and
    // waits for its end. Not reentrant: a second Run during one is refused
    // with cmdCancelled.
    TPasswordCommandResult Run(const std::string& command);
    // Ends a run that is waiting (from an event handler): the process group
    // is killed and Run returns cmdCancelled. Nothing when none runs.
    void Cancel();
    bool Running() const { return FRunning; }

    // The first line of the last run's standard output, without its line
    // end (LF or CR LF), as bytes; empty unless the run gave cmdOk. Handed
    // over once: nothing of it stays here.
    std::string TakeSecret() { return std::exchange(FSecret, {}); }
    // What the last run wrote to standard error: its first kMaxErrorBytes,
    // "..." appended when there was more.
    const std::string& ErrorOutput() const { return FErrorOutput; }
    // The exit status (cmdExitStatus) or the signal number (cmdSignal).
    int ExitCode() const { return FExitCode; }
    // The process id of the last run's shell, which also led its process
    // group; 0 before the first run.
    qint64 ProcessId() const { return FProcessId; }
    int TimeLimitMs() const { return FTimeLimitMs; }

private:
    void ReadOutput(QProcess& process);
    void ReadErrorOutput(QProcess& process);
    void KillGroup(QProcess& process);
    void Forget();

    int FTimeLimitMs;
    bool FRunning = false;
    bool FCancel = false;
    std::string FSecret;
    bool FLineComplete = false;
    bool FTooLong = false;
    std::string FErrorOutput;
    bool FErrorTruncated = false;
    int FExitCode = 0;
    qint64 FProcessId = 0;
};
