#include "app/PasswordCommand.h"

#include "app/AnsiText.h"
#include "platform/EventLoop.h"

#include <QElapsedTimer>

#include <algorithm>

#include <signal.h>
#include <unistd.h>

namespace {

// Longest single wait of the loop, so that Cancel() and the application's
// terminating flag are seen in time even when nothing else happens.
constexpr int kWaitSliceMs = 100;
// How long a killed group may take to go before the run stops waiting for
// it (SIGKILL cannot be caught; this is the kernel's time to tear down).
constexpr int kReapMs = 2000;

} // namespace

TPasswordCommand::TPasswordCommand(int timeLimitMs) : FTimeLimitMs(timeLimitMs) {}

TPasswordCommand::~TPasswordCommand()
{
    Forget();
}

void TPasswordCommand::Forget()
{
    std::fill(FSecret.begin(), FSecret.end(), '\0');
    FSecret.clear();
}

TPasswordCommandResult TPasswordCommand::Run(const std::string& command)
{
    if (FRunning)
        return cmdCancelled;
    Forget();
    FErrorOutput.clear();
    FErrorTruncated = false;
    FLineComplete = false;
    FTooLong = false;
    FExitCode = 0;
    FProcessId = 0;
    FCancel = false;

    QProcess process;
    process.setProgram(QStringLiteral("/bin/sh"));
    process.setArguments({QStringLiteral("-c"), FromAnsi(command)});
    process.setStandardInputFile(QProcess::nullDevice());
    // Runs in the child between fork and exec: a session of its own makes
    // the shell the leader of a new process group, which KillGroup ends as
    // a whole, whatever the command has started.
    process.setChildProcessModifier([] { ::setsid(); });
    QObject::connect(&process, &QProcess::readyReadStandardOutput, [this, &process] { ReadOutput(process); });
    QObject::connect(&process, &QProcess::readyReadStandardError, [this, &process] { ReadErrorOutput(process); });

    FRunning = true;
    process.start();
    if (!process.waitForStarted(kReapMs)) {
        FRunning = false;
        return cmdNotStarted;
    }
    FProcessId = process.processId();

    TPasswordCommandResult result = cmdOk;
    QElapsedTimer clock;
    clock.start();
    while (process.state() != QProcess::NotRunning) {
        const qint64 left = FTimeLimitMs - clock.elapsed();
        if (left <= 0 || FCancel || platform::Application::Terminated()) {
            result = left <= 0 ? cmdTimedOut : cmdCancelled;
            KillGroup(process);
            break;
        }
        platform::Application::WaitMessage(int(std::min<qint64>(left, kWaitSliceMs)));
        platform::Application::ProcessMessages();
    }
    FRunning = false;
    // What the pipes still hold once the shell has ended.
    ReadOutput(process);
    ReadErrorOutput(process);
    if (FErrorTruncated)
        FErrorOutput += "...";

    if (result == cmdOk) {
        if (process.exitStatus() == QProcess::CrashExit) {
            result = cmdSignal;
            FExitCode = process.exitCode(); // the signal's number after a crash
        } else if (process.exitCode() != 0) {
            result = cmdExitStatus;
            FExitCode = process.exitCode();
        } else if (FTooLong) {
            result = cmdLineTooLong;
        } else if (FSecret.empty()) {
            result = cmdNoOutput;
        }
    }
    if (result != cmdOk)
        Forget();
    return result;
}

void TPasswordCommand::Cancel()
{
    if (FRunning)
        FCancel = true;
}

// The output is taken as it comes, so that the pipe never fills up and
// QProcess never buffers more than one read: up to the first line end (at
// most kMaxSecretBytes), and everything after it is read and dropped.
void TPasswordCommand::ReadOutput(QProcess& process)
{
    process.setReadChannel(QProcess::StandardOutput);
    while (process.bytesAvailable() > 0) {
        const QByteArray chunk = process.read(16384);
        if (FLineComplete || FTooLong)
            continue;
        const qsizetype end = chunk.indexOf('\n');
        const qsizetype take = end < 0 ? chunk.size() : end;
        if (qsizetype(FSecret.size()) + take > kMaxSecretBytes) {
            FTooLong = true;
            Forget();
            continue;
        }
        FSecret.append(chunk.constData(), size_t(take));
        if (end >= 0) {
            FLineComplete = true;
            if (!FSecret.empty() && FSecret.back() == '\r')
                FSecret.pop_back();
        }
    }
}

void TPasswordCommand::ReadErrorOutput(QProcess& process)
{
    process.setReadChannel(QProcess::StandardError);
    while (process.bytesAvailable() > 0) {
        const QByteArray chunk = process.read(16384);
        const qsizetype room = kMaxErrorBytes - qsizetype(FErrorOutput.size());
        if (chunk.size() > room)
            FErrorTruncated = true;
        FErrorOutput.append(chunk.constData(), size_t(std::clamp<qsizetype>(chunk.size(), 0, room)));
    }
}

// SIGKILL to the group that the shell leads: the shell, and whatever it has
// started that stayed in the group. Then the shell is reaped, so that its
// pid (the group's id) cannot be taken by another process while we hold it.
void TPasswordCommand::KillGroup(QProcess& process)
{
    if (FProcessId > 0)
        ::kill(-pid_t(FProcessId), SIGKILL);
    process.waitForFinished(kReapMs);
}
