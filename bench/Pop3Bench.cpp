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
#include "bench/DelayRelay.h"
#include "bench/HeaderDecodeTime.h"
#include "tests/support/Dovecot.h"

#include <sched.h>

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#ifndef QUILLBOX_SOURCE_DIR
#error "QUILLBOX_SOURCE_DIR must name the source tree (it holds bench/*_check.*)"
#endif

extern char** environ;

namespace {

struct Client {
    std::string Name;
    std::vector<std::string> Command; // HOST PORT USER PASSWORD are appended
};

struct Sample {
    bool Ok = false;
    std::string Error;
    long Messages = 0, Lines = 0, Bytes = 0;
    double Wall = 0, Cpu = 0, ProcessCpu = 0;
    long PeakRssKiB = 0;
};

double TimevalSeconds(const timeval& t)
{
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

// Runs one client session in a child process and reads its result line.
Sample RunOnce(const Client& client, const testsupport::Dovecot& server, uint16_t port)
{
    std::vector<std::string> args = client.Command;
    for (const std::string& a : {server.Host(), std::to_string(port), server.User(), server.Password()})
        args.push_back(a);
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    Sample s;
    int out[2];
    if (::pipe(out) != 0) {
        s.Error = "pipe failed";
        return s;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    if (rc != 0) {
        ::close(out[0]);
        s.Error = std::string("cannot start ") + argv[0] + ": " + std::strerror(rc);
        return s;
    }
    std::string text;
    char buf[512];
    for (ssize_t n; (n = ::read(out[0], buf, sizeof buf)) > 0;)
        text.append(buf, static_cast<size_t>(n));
    ::close(out[0]);

    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    s.ProcessCpu = TimevalSeconds(usage.ru_utime) + TimevalSeconds(usage.ru_stime);

    std::map<std::string, std::string> fields;
    std::istringstream in(text);
    for (std::string item; in >> item;)
        if (auto eq = item.find('='); eq != std::string::npos)
            fields[item.substr(0, eq)] = item.substr(eq + 1);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || fields.count("rss") == 0) {
        s.Error = client.Name + " failed (status " + std::to_string(status) + ")";
        return s;
    }
    s.Ok = true;
    s.Messages = std::stol(fields["messages"]);
    s.Lines = std::stol(fields["lines"]);
    s.Bytes = std::stol(fields["bytes"]);
    s.Wall = std::stod(fields["wall"]);
    s.Cpu = std::stod(fields["cpu"]);
    s.PeakRssKiB = std::stol(fields["rss"]);
    return s;
}

double Median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const size_t m = v.size() / 2;
    return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
}

struct Summary {
    double Wall = 0, Cpu = 0, ProcessCpu = 0, MsgPerSec = 0;
    long PeakRssKiB = 0;
};

Summary Summarise(const std::vector<Sample>& samples)
{
    std::vector<double> wall, cpu, proc;
    Summary r;
    for (const auto& s : samples) {
        wall.push_back(s.Wall);
        cpu.push_back(s.Cpu);
        proc.push_back(s.ProcessCpu);
        r.PeakRssKiB = std::max(r.PeakRssKiB, s.PeakRssKiB);
    }
    r.Wall = Median(wall);
    r.Cpu = Median(cpu);
    r.ProcessCpu = Median(proc);
    const long messages = samples.empty() ? 0 : samples.front().Messages;
    r.MsgPerSec = r.Wall > 0 ? static_cast<double>(messages) / r.Wall : 0;
    return r;
}

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

// Pins this process (and so the server and the relay it starts) to the first
// processor; returns the prefix that starts a client on the second, or
// nothing when there is no second or no taskset.
std::vector<std::string> PinServerAndClients()
{
    cpu_set_t all;
    if (::sched_getaffinity(0, sizeof all, &all) != 0 || CPU_COUNT(&all) < 2 || !std::filesystem::exists("/usr/bin/taskset"))
        return {};
    int first = -1, second = -1;
    for (int c = 0; c < CPU_SETSIZE && second < 0; ++c)
        if (CPU_ISSET(c, &all))
            (first < 0 ? first : second) = c;
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(first, &one);
    if (::sched_setaffinity(0, sizeof one, &one) != 0)
        return {};
    std::printf("server and relay on processor %d, clients on processor %d\n", first, second);
    return {"/usr/bin/taskset", "-c", std::to_string(second)};
}

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

// One link's table: every client in turn, run by run; returns the
// summaries in the clients' order, or nothing when a client failed. Sets
// mismatch when the clients disagree on what they received.
std::vector<Summary> MeasureLink(const Link& link, const std::vector<Client>& clients, size_t baseline,
                                 size_t warmUp, const testsupport::Dovecot& server, uint16_t port, int runs,
                                 bool& mismatch)
{
    const Sample warm = RunOnce(clients[warmUp], server, port);
    std::printf("\n%s, %zu messages, %d runs per client; warm-up session %.2f s\n", link.Name.c_str(),
                link.Messages, runs, warm.Wall);

    std::vector<std::vector<Sample>> samples(clients.size());
    for (int run = 0; run < runs; ++run) {
        for (size_t k = 0; k < clients.size(); ++k) {
            const size_t c = (static_cast<size_t>(run) + k) % clients.size();
            Sample s = RunOnce(clients[c], server, port);
            if (!s.Ok) {
                std::fprintf(stderr, "%s\n--- server log ---\n%s\n", s.Error.c_str(), server.Log().c_str());
                return {};
            }
            samples[c].push_back(s);
        }
    }

    // Every client must have received the same headers.
    const Sample& ref = samples[baseline].front();
    for (size_t c = 0; c < clients.size(); ++c)
        for (const auto& s : samples[c])
            if (s.Messages != static_cast<long>(link.Messages) || s.Lines != ref.Lines || s.Bytes != ref.Bytes) {
                std::printf("MISMATCH: %s got %ld messages, %ld lines, %ld bytes; %s %ld, %ld, %ld\n",
                            clients[c].Name.c_str(), s.Messages, s.Lines, s.Bytes, clients[baseline].Name.c_str(),
                            ref.Messages, ref.Lines, ref.Bytes);
                mismatch = true;
            }
    std::printf("header lines per session: %ld (%ld bytes)\n", ref.Lines, ref.Bytes);

    std::vector<Summary> sums;
    for (const auto& v : samples)
        sums.push_back(Summarise(v));
    const Summary& base = sums[baseline];
    std::printf("%-17s %9s %9s %11s %9s %11s %9s %9s %9s\n", "client", "wall s", "cpu s", "proc cpu s", "msg/s",
                "peak RSS", "x msg/s", "x cpu", "x RSS");
    for (size_t c = 0; c < clients.size(); ++c) {
        const Summary& m = sums[c];
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

    const std::vector<std::string> pin = PinServerAndClients();
    auto pinned = [&pin](std::vector<std::string> command) {
        command.insert(command.begin(), pin.begin(), pin.end());
        return command;
    };
    const std::string src = QUILLBOX_SOURCE_DIR, self = SelfDir();
    // The order of the table; ratios are against poplib.
    enum { Pipelined, LockStep, Poplib, CLockStep, CPipelined, NetPop3 };
    const std::vector<Client> clients = {
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
        std::printf("\nmailbox of %zu messages written and server started in %.2f s\n", link.Messages,
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
        // Net::POP3 is as slow as poplib per round trip: loopback only.
        const std::vector<Client> used(clients.begin(), link.RttMs > 0 ? clients.begin() + NetPop3 : clients.end());
        bool mismatch = false;
        const std::vector<Summary> sums = MeasureLink(link, used, Poplib, CPipelined, server, port, runs, mismatch);
        if (sums.empty())
            return 1;
        exitCode |= mismatch;

        const Summary &base = sums[Poplib], &p = sums[Pipelined], &l = sums[LockStep], &cp = sums[CPipelined],
                      &cl = sums[CLockStep];
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
    const std::vector<Client> tlsClients = {
        {"qb pipelined TLS", pinned({self + "/quillbox-pop3check", "--pipelined", "--tls", pki.Ca()})},
        {"qb lock-step TLS", pinned({self + "/quillbox-pop3check", "--tls", pki.Ca()})},
        {"POP3_SSL", pinned({"/usr/bin/python3", src + "/bench/poplib_check.py", "--tls", pki.Ca()})},
    };
    std::vector<std::pair<size_t, std::vector<Summary>>> tlsSums;
    for (const Link& link : tlsLinks) {
        const auto t0 = std::chrono::steady_clock::now();
        testsupport::Dovecot server(link.Messages, seed, pki.Server());
        std::printf("\nmailbox of %zu messages written and server with TLS started in %.2f s\n", link.Messages,
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
        bool mismatch = false;
        std::vector<Summary> sums =
            MeasureLink(link, tlsClients, PopSsl, TlsPipelined, server, server.TlsPort(), runs, mismatch);
        if (sums.empty())
            return 1;
        exitCode |= mismatch;
        tlsSums.emplace_back(link.Messages, std::move(sums));
    }

    const std::vector<Summary>& big = tlsSums.back().second;
    const Summary& base = big[PopSsl];
    for (size_t c : {TlsPipelined, TlsLockStep}) {
        const Summary& m = big[c];
        std::printf("%s, %zu messages: %.2fx POP3_SSL's msg/s (target >= 1.25x: %s), cpu %.2fx POP3_SSL's "
                    "(target <= 0.5x: %s)\n",
                    tlsClients[c].Name.c_str(), tlsSums.back().first, Ratio(m.MsgPerSec, base.MsgPerSec),
                    Verdict(m.MsgPerSec >= 1.25 * base.MsgPerSec), Ratio(m.Cpu, base.Cpu),
                    Verdict(m.Cpu <= 0.5 * base.Cpu));
    }
    if (tlsSums.size() > 1) {
        // Flat: the larger mailbox costs at most a tenth more memory.
        const std::vector<Summary>& small = tlsSums.front().second;
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
