// quillbox-pop3check [--pipelined] [--tls CAFILE] HOST PORT USER PASSWORD
//
// The application's check sequence through TSyncPop3Cli, for the benchmark:
// connect, USER, PASS, STAT, LIST, TOP i 0 for every message, QUIT. With
// --pipelined, CAPA follows the login and one SyncTopAll fetches every
// header (pipelined when the server announces PIPELINING). Prints
// one line in the form the benchmark reads from every client:
//   messages=N lines=L bytes=B wall=SECONDS cpu=SECONDS rss=KIB
// lines and bytes count the header lines delivered (after dot-unstuffing,
// without line ends); wall is the session's elapsed time, cpu this process's
// CPU time (user + system) during the session, and rss its peak resident set
// (VmHWM). Exits 1 with the engine's error text when a step fails. With
// --tls it speaks POP3S, verifying the server against CAFILE (and the system
// store) and HOST.
#include "bench/SessionMeasure.h"
#include "pop3/Pop3Prot.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

using bench::PeakRssKiB;
using bench::Seconds;

int main(int argc, char** argv)
{
    bool pipelined = false;
    const char* caFile = nullptr;
    for (;;) {
        if (argc >= 2 && std::strcmp(argv[1], "--pipelined") == 0) {
            pipelined = true;
            argv += 1;
            argc -= 1;
        } else if (argc >= 3 && std::strcmp(argv[1], "--tls") == 0) {
            caFile = argv[2];
            argv += 2;
            argc -= 2;
        } else {
            break;
        }
    }
    if (argc != 5) {
        std::fprintf(stderr, "usage: quillbox-pop3check [--pipelined] [--tls CAFILE] HOST PORT USER PASSWORD\n");
        return 2;
    }
    const double cpu0 = Seconds(CLOCK_PROCESS_CPUTIME_ID);
    const double wall0 = Seconds(CLOCK_MONOTONIC);

    TSyncPop3Cli cli;
    cli.SetHost(argv[1]);
    cli.SetPort(argv[2]);
    cli.SetUserName(argv[3]);
    cli.SetPassWord(argv[4]);
    cli.SetTimeout(60);
    if (caFile) {
        cli.SetSecurity(pop3SecTls);
        cli.SetTlsCaFile(caFile);
    }

    long lines = 0;
    long octets = 0;
    bool continued = false; // the last line event carried the start of a longer line
    cli.OnMessageLine = [&](TObject*) {
        if (!continued)
            ++lines;
        octets += static_cast<long>(cli.LastResponse().size());
        continued = cli.PartialLine();
    };

    bool ok = cli.SyncConnect() && cli.SyncUser() && cli.SyncPass() && (!pipelined || cli.SyncCapa()) &&
              cli.SyncStat();
    const Integer count = cli.MsgCount();
    cli.SetMsgNum(0);
    ok = ok && cli.SyncList();
    cli.SetMsgLines(0);
    if (pipelined)
        ok = ok && cli.SyncTopAll();
    for (Integer n = 1; !pipelined && ok && n <= count; ++n) {
        cli.SetMsgNum(n);
        ok = cli.SyncTop();
    }
    ok = ok && cli.SyncQuit();
    if (!ok) {
        std::fprintf(stderr, "quillbox-pop3check: %s\n", cli.ErrorMessage().c_str());
        return 1;
    }

    const double wall = Seconds(CLOCK_MONOTONIC) - wall0;
    const double cpu = Seconds(CLOCK_PROCESS_CPUTIME_ID) - cpu0;
    std::printf("messages=%d lines=%ld bytes=%ld wall=%.6f cpu=%.6f rss=%ld\n", count, lines, octets, wall, cpu,
                PeakRssKiB());
    return 0;
}
