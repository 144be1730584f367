// quillbox-pop3bench [--loopback 10000] [--latency 1000] [--rtt 20] [--tls 10000] [--tls-small 1000]
//                    [--runs 3] [--seed 1]
//
// Runs the application's check sequence (connect, USER, PASS, STAT, LIST,
// TOP i 0 for every message, QUIT) against a private Dovecot on 127.0.0.1
// with generated mailboxes, through these clients, each in a process of its
// own: our TSyncPop3Cli pipelined (CAPA, then one SyncTopAll) and lock-step
// (a SyncTop per message, quillbox-pop3check), Python's poplib, a plain C
// client lock-step and pipelined (quillbox-ccheck, the limits), and on
// loopback Perl's Net::POP3. Two links: loopback with --loopback messages,
// and a link with a round trip of --rtt ms (a DelayRelay holding every chunk
// rtt/2 ms in each direction) with --latency messages; 0 skips a link.
//
// Then the same check over POP3S on loopback: Dovecot with a certificate of
// a throwaway CA (scripts/make-pki), our client pipelined and lock-step and
// Python's poplib.POP3_SSL, all verifying the server against that CA and its
// address, with --tls messages and, to show that peak RSS stays flat in the
// mailbox size, with --tls-small messages first (0 skips either).
//
// The server (and the relay) run on the first processor, every client on
// the second (taskset), when the machine has two: left to the scheduler,
// they sometimes share one and the figures swing by 3x. The clients take
// turns run by run (the order rotates), after one warm-up session that lets
// the server build its index.
//
// Per client it prints the medians of the session's wall seconds and CPU
// seconds (user + system, as each client measures its own session), the
// whole process's CPU seconds (start-up included, from wait4), messages per
// second (messages / median wall), the largest peak RSS over the runs
// (VmHWM as each client reads it at its end: wait4's ru_maxrss would include
// this program's own pages, which a child has mapped until it calls exec),
// the ratios against poplib (over POP3S against POP3_SSL), and then the
// targets. On loopback it also
// prints the CPU time of decoding every message's header for display
// (mail/HeaderText.h, in this process, median of the runs), which the window
// does per row as the headers arrive, and its share of our checks' times
// (target: at most 5 % of the check's own time). It prints figures only:
// no timing makes it fail. It exits 1 only when a client fails or the
// clients disagree on what they received.
#include "bench/ClientRun.h"
#include "bench/DelayRelay.h"
#include "bench/HeaderDecodeTime.h"
#include "tests/support/Dovecot.h"

#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#ifndef QUILLBOX_SOURCE_DIR
#error "QUILLBOX_SOURCE_DIR must name the source tree (it holds bench/*_check.*)"
#endif

namespace {

std::string SelfDir()
{
    return std::filesystem::read_symlink("/proc/self/exe").parent_path().string();
}

// A link to measure: its messages, its round trip (0: loopback as it is),
// and whether the check runs over POP3S.
struct Link {
    std::string Name;
    size_t Messages = 0;
    int RttMs = 0;
    bool Tls = false;
};

// The server's certificate and the CA that signed it, made on the fly.
struct Pki {
    std::filesystem::path Dir;
    explicit Pki(const std::string& src)
    {
        std::string dir = (std::filesystem::temp_directory_path() / "quillbox-bench-pki-XXXXXX").string();
        if (!::mkdtemp(dir.data()) ||
            std::system(("/bin/bash '" + src + "/scripts/make-pki' '" + dir + "'").c_str()) != 0)
            throw std::runtime_error("scripts/make-pki failed");
        Dir = dir;
    }
    ~Pki()
    {
        std::error_code ec;
        std::filesystem::remove_all(Dir, ec);
    }
    Pki(const Pki&) = delete;
    Pki& operator=(const Pki&) = delete;
    testsupport::DovecotTls Server() const { return {Dir / "server.pem", Dir / "server.key", Dir / "dh.pem"}; }
    std::string Ca() const { return (Dir / "ca.pem").string(); }
};

double Ratio(double a, double b)
{
    return b > 0 ? a / b : 0;
}

const char* Verdict(bool met)
{
    return met ? "met" : "MISSED";
}

double MiB(long kib)
{
    return static_cast<double>(kib) / 1024.0;
}

// One link's table: a warm-up session, then every client in turn, run by
// run; returns the summaries in the clients' order, or nothing when a client
// failed. Sets mismatch when the clients disagree on what they received.
std::vector<bench::TSummary> MeasureLink(const Link& link, const std::vector<bench::TClient>& clients,
                                         size_t baseline, size_t warmUp, const testsupport::Dovecot& server,
                                         uint16_t port, double setup, int runs, bool& mismatch)
{
    const std::vector<std::string> account = {server.Host(), std::to_string(port), server.User(),
                                               server.Password()};
    const bench::TSample warm = bench::RunClient(clients[warmUp], account);
    std::printf("\n%s, %zu messages, %d runs per client; mailbox written and server started in %.2f s, "
                "warm-up session %.2f s\n",
                link.Name.c_str(), link.Messages, runs, setup, warm.Wall);

    std::vector<std::vector<bench::TSample>> samples;
    std::string error;
    if (!bench::RunRounds(clients, account, runs, samples, error)) {
        std::fprintf(stderr, "%s\n--- server log ---\n%s\n", error.c_str(), server.Log().c_str());
        return {};
    }
    // Every client must have received the same headers.
    if (!bench::SamplesAgree(clients, samples, static_cast<long>(link.Messages), baseline))
        mismatch = true;

    std::vector<bench::TSummary> sums;
    for (const auto& v : samples)
        sums.push_back(bench::Summarise(v));
    const bench::TSummary& base = sums[baseline];
    std::printf("%-17s %9s %9s %11s %9s %11s %9s %9s %9s\n", "client", "wall s", "cpu s", "proc cpu s", "msg/s",
                "peak RSS", "x msg/s", "x cpu", "x RSS");
    for (size_t c = 0; c < clients.size(); ++c) {
        const bench::TSummary& m = sums[c];
        std::printf("%-17s %9.4f %9.4f %11.4f %9.0f %7.1f MiB %9.2f %9.2f %9.2f\n", clients[c].Name.c_str(), m.Wall,
                    m.Cpu, m.ProcessCpu, m.MsgPerSec, MiB(m.PeakRssKiB), Ratio(m.MsgPerSec, base.MsgPerSec),
                    Ratio(m.Cpu, base.Cpu), Ratio(static_cast<double>(m.PeakRssKiB), static_cast<double>(base.PeakRssKiB)));
    }
    return sums;
}

} // namespace

int main(int argc, char** argv)
{
    size_t loopback = 10000, latency = 1000, tlsMessages = 10000, tlsSmall = 1000;
    int rtt = 20;
    int runs = 3;
    uint32_t seed = 1;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string opt = argv[i];
        if (opt == "--loopback")
            loopback = std::stoul(argv[i + 1]);
        else if (opt == "--latency")
            latency = std::stoul(argv[i + 1]);
        else if (opt == "--rtt")
            rtt = std::max(1, std::stoi(argv[i + 1]));
        else if (opt == "--tls")
            tlsMessages = std::stoul(argv[i + 1]);
        else if (opt == "--tls-small")
            tlsSmall = std::stoul(argv[i + 1]);
        else if (opt == "--runs")
            runs = std::max(1, std::stoi(argv[i + 1]));
        else if (opt == "--seed")
            seed = static_cast<uint32_t>(std::stoul(argv[i + 1]));
        else {
            std::fprintf(stderr, "usage: quillbox-pop3bench [--loopback 10000] [--latency 1000] [--rtt 20] "
                                 "[--tls 10000] [--tls-small 1000] [--runs 3] [--seed 1]\n");
            return 2;
        }
    }
    if (argc % 2 == 0) {
        std::fprintf(stderr, "quillbox-pop3bench: option %s needs a value\n", argv[argc - 1]);
        return 2;
    }

    const std::vector<std::string> pin = bench::PinServerAndClients();
    auto pinned = [&pin](std::vector<std::string> command) {
        command.insert(command.begin(), pin.begin(), pin.end());
        return command;
    };
    const std::string src = QUILLBOX_SOURCE_DIR, self = SelfDir();
    // The order of the table; ratios are against poplib.
    enum { Pipelined, LockStep, Poplib, CLockStep, CPipelined, NetPop3 };
    const std::vector<bench::TClient> clients = {
        {"qb pipelined", pinned({self + "/quillbox-pop3check", "--pipelined"})},
        {"qb lock-step", pinned({self + "/quillbox-pop3check"})},
        {"poplib", pinned({"/usr/bin/python3", src + "/bench/poplib_check.py"})},
        {"C lock-step", pinned({self + "/quillbox-ccheck", "lockstep"})},
        {"C pipelined", pinned({self + "/quillbox-ccheck", "pipelined"})},
        {"Net::POP3", pinned({"/usr/bin/perl", src + "/bench/netpop3_check.pl"})},
    };

    std::vector<Link> links;
    if (loopback > 0)
        links.push_back({"loopback", loopback, 0});
    if (latency > 0)
        links.push_back({std::to_string(rtt) + " ms round trip", latency, rtt});

    int exitCode = 0;
    for (const Link& link : links) {
        const auto t0 = std::chrono::steady_clock::now();
        testsupport::Dovecot server(link.Messages, seed);
        std::unique_ptr<bench::DelayRelay> relay;
        if (link.RttMs > 0)
            relay = std::make_unique<bench::DelayRelay>(server.Port(), link.RttMs / 2);
        const uint16_t port = relay ? relay->Port() : server.Port();
        const double setup = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        // Net::POP3 is as slow as poplib per round trip: loopback only.
        const std::vector<bench::TClient> used(clients.begin(),
                                               link.RttMs > 0 ? clients.begin() + NetPop3 : clients.end());
        bool mismatch = false;
        const std::vector<bench::TSummary> sums =
            MeasureLink(link, used, Poplib, CPipelined, server, port, setup, runs, mismatch);
        if (sums.empty())
            return 1;
        exitCode |= mismatch;

        const bench::TSummary &base = sums[Poplib], &p = sums[Pipelined], &l = sums[LockStep],
                             &cp = sums[CPipelined], &cl = sums[CLockStep];
        const double speedGoal = link.RttMs > 0 ? 20 : 4;
        std::printf("pipelined: %.1fx poplib's msg/s (target >= %.0fx: %s), %.2f of the C pipelined client's "
                    "(target >= 0.7: %s), cpu %.2fx poplib's (target <= 0.3x: %s), peak RSS %.2fx the lock-step "
                    "client's (target <= 2x: %s)\n",
                    Ratio(p.MsgPerSec, base.MsgPerSec), speedGoal,
                    Verdict(p.MsgPerSec >= speedGoal * base.MsgPerSec), Ratio(p.MsgPerSec, cp.MsgPerSec),
                    Verdict(p.MsgPerSec >= 0.7 * cp.MsgPerSec), Ratio(p.Cpu, base.Cpu), Verdict(p.Cpu <= 0.3 * base.Cpu),
                    Ratio(static_cast<double>(p.PeakRssKiB), static_cast<double>(l.PeakRssKiB)),
                    Verdict(p.PeakRssKiB <= 2 * l.PeakRssKiB));
        std::printf("lock-step: %.2fx poplib's msg/s (target >= 1.25x: %s), %.2f of the C lock-step client's, "
                    "cpu %.2fx poplib's (target <= 0.5x: %s)\n",
                    Ratio(l.MsgPerSec, base.MsgPerSec), Verdict(l.MsgPerSec >= 1.25 * base.MsgPerSec),
                    Ratio(l.MsgPerSec, cl.MsgPerSec), Ratio(l.Cpu, base.Cpu), Verdict(l.Cpu <= 0.5 * base.Cpu));
        if (link.RttMs == 0) {
            const THeaderDecodeTime decode = MeasureHeaderDecoding(link.Messages, seed, runs);
            std::printf("header decoding, CPU s: Subject/From/Date of each row %.4f, all %zu fields %.4f (%zu bytes "
                        "of text); the rows' share of the pipelined check: %.1f %% of its wall, %.1f %% of its cpu; "
                        "of the lock-step check: %.1f %% of its wall, %.1f %% of its cpu (target <= 5 %% of the "
                        "pipelined check's wall: %s)\n",
                        decode.WindowFields, decode.Fields, decode.EveryField, decode.OutputBytes,
                        100.0 * Ratio(decode.WindowFields, p.Wall), 100.0 * Ratio(decode.WindowFields, p.Cpu),
                        100.0 * Ratio(decode.WindowFields, l.Wall), 100.0 * Ratio(decode.WindowFields, l.Cpu),
                        Verdict(decode.WindowFields <= 0.05 * p.Wall));
        }
    }

    // POP3S on loopback: the smaller mailbox first, for peak RSS only.
    std::vector<Link> tlsLinks;
    if (tlsSmall > 0 && tlsMessages > 0 && tlsSmall != tlsMessages)
        tlsLinks.push_back({"POP3S on loopback", tlsSmall, 0, true});
    if (tlsMessages > 0)
        tlsLinks.push_back({"POP3S on loopback", tlsMessages, 0, true});
    if (tlsLinks.empty())
        return exitCode;
    const Pki pki(src);
    enum { TlsPipelined, TlsLockStep, PopSsl };
    const std::vector<bench::TClient> tlsClients = {
        {"qb pipelined TLS", pinned({self + "/quillbox-pop3check", "--pipelined", "--tls", pki.Ca()})},
        {"qb lock-step TLS", pinned({self + "/quillbox-pop3check", "--tls", pki.Ca()})},
        {"POP3_SSL", pinned({"/usr/bin/python3", src + "/bench/poplib_check.py", "--tls", pki.Ca()})},
    };
    std::vector<std::pair<size_t, std::vector<bench::TSummary>>> tlsSums;
    for (const Link& link : tlsLinks) {
        const auto t0 = std::chrono::steady_clock::now();
        testsupport::Dovecot server(link.Messages, seed, pki.Server());
        const double setup = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        bool mismatch = false;
        std::vector<bench::TSummary> sums =
            MeasureLink(link, tlsClients, PopSsl, TlsPipelined, server, server.TlsPort(), setup, runs, mismatch);
        if (sums.empty())
            return 1;
        exitCode |= mismatch;
        tlsSums.emplace_back(link.Messages, std::move(sums));
    }

    const std::vector<bench::TSummary>& big = tlsSums.back().second;
    const bench::TSummary& base = big[PopSsl];
    for (size_t c : {TlsPipelined, TlsLockStep}) {
        const bench::TSummary& m = big[c];
        std::printf("%s, %zu messages: %.2fx POP3_SSL's msg/s (target >= 1.25x: %s), cpu %.2fx POP3_SSL's "
                    "(target <= 0.5x: %s)\n",
                    tlsClients[c].Name.c_str(), tlsSums.back().first, Ratio(m.MsgPerSec, base.MsgPerSec),
                    Verdict(m.MsgPerSec >= 1.25 * base.MsgPerSec), Ratio(m.Cpu, base.Cpu),
                    Verdict(m.Cpu <= 0.5 * base.Cpu));
    }
    if (tlsSums.size() > 1) {
        // Flat: the larger mailbox costs at most a tenth more memory.
        const std::vector<bench::TSummary>& small = tlsSums.front().second;
        std::printf("peak RSS by mailbox size (%zu / %zu messages):", tlsSums.front().first, tlsSums.back().first);
        for (size_t c = 0; c < tlsClients.size(); ++c)
            std::printf(" %s %.1f / %.1f MiB;", tlsClients[c].Name.c_str(), MiB(small[c].PeakRssKiB),
                        MiB(big[c].PeakRssKiB));
        std::printf("\n");
        for (size_t c : {TlsPipelined, TlsLockStep}) {
            const double growth =
                Ratio(static_cast<double>(big[c].PeakRssKiB), static_cast<double>(small[c].PeakRssKiB));
            std::printf("%s peak RSS %.2fx from the smaller mailbox to the larger (target flat, <= 1.1x: %s)\n",
                        tlsClients[c].Name.c_str(), growth, Verdict(growth <= 1.1));
        }
    }
    return exitCode;
}
