// quillbox-pop3bench [--sizes 1000,10000] [--runs 5] [--seed 1] [--tls] [--cpus 0,1]
//
// Runs the application's check sequence (connect, USER, PASS, STAT, LIST,
// TOP i 0 for every message, QUIT) against a private Dovecot on 127.0.0.1
// with generated mailboxes, through three clients: our TSyncPop3Cli
// (quillbox-pop3check), Python's poplib and Perl's Net::POP3. Each client
// runs in a process of its own, the clients take turns run by run (the
// order rotates, so none always follows another), after one warm-up session
// that lets the server build its index.
//
// Per client and mailbox size it prints the medians of the session's wall
// seconds and CPU seconds (user + system, as each client measures its own
// session), the whole process's CPU seconds (start-up included, from
// wait4), messages per second (messages / median wall), the largest peak
// RSS over the runs (VmHWM as each client reads it at its end: wait4's
// ru_maxrss would include this program's own pages, which a child has
// mapped until it calls exec), and the ratios against poplib. It prints figures only:
// no timing makes it fail. It exits 1 only when a client fails or the
// clients disagree on what they received.
//
// With --tls the same check runs over POP3S: Dovecot with a certificate of a
// throwaway CA (scripts/make-pki), our client and poplib.POP3_SSL, both
// verifying the server against that CA and its address. The server and its
// processes run on the first CPU of --cpus, the clients (through taskset) on
// the second, so that neither takes time from the other on a small machine.
#include "tests/support/Dovecot.h"

#include <sched.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
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
Sample RunOnce(const Client& client, const testsupport::Dovecot& server, bool tls)
{
    std::vector<std::string> args = client.Command;
    for (const std::string& a :
         {server.Host(), tls ? server.TlsPortText() : server.PortText(), server.User(), server.Password()})
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

std::vector<size_t> ParseSizes(const std::string& text)
{
    std::vector<size_t> sizes;
    std::istringstream in(text);
    for (std::string item; std::getline(in, item, ',');)
        sizes.push_back(std::stoul(item));
    return sizes;
}

std::string SelfDir()
{
    return std::filesystem::read_symlink("/proc/self/exe").parent_path().string();
}

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
    testsupport::DovecotTls Server() const { return {Dir / "server.pem", Dir / "server.key", Dir / "dh.pem"}; }
    std::string Ca() const { return (Dir / "ca.pem").string(); }
};

// Runs this process (and the server it starts) on one CPU.
void PinSelf(int cpu)
{
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    ::sched_setaffinity(0, sizeof set, &set);
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<size_t> sizes = {1000, 10000};
    int runs = 5;
    uint32_t seed = 1;
    bool tls = false;
    std::vector<size_t> cpus = {0, 1};
    for (int i = 1; i < argc; i += 2) {
        const std::string opt = argv[i];
        if (opt == "--tls") {
            tls = true;
            --i;
        } else if (i + 1 >= argc) {
            std::fprintf(stderr, "quillbox-pop3bench: %s needs a value\n", opt.c_str());
            return 2;
        } else if (opt == "--cpus")
            cpus = ParseSizes(argv[i + 1]);
        else if (opt == "--sizes")
            sizes = ParseSizes(argv[i + 1]);
        else if (opt == "--runs")
            runs = std::max(1, std::stoi(argv[i + 1]));
        else if (opt == "--seed")
            seed = static_cast<uint32_t>(std::stoul(argv[i + 1]));
        else {
            std::fprintf(stderr, "usage: quillbox-pop3bench [--sizes 1000,10000] [--runs 5] [--seed 1] [--tls] "
                                 "[--cpus 0,1]\n");
            return 2;
        }
    }

    const std::string src = QUILLBOX_SOURCE_DIR;
    std::vector<Client> clients = {
        {"quillbox", {SelfDir() + "/quillbox-pop3check"}},
        {"poplib", {"/usr/bin/python3", src + "/bench/poplib_check.py"}},
        {"Net::POP3", {"/usr/bin/perl", src + "/bench/netpop3_check.pl"}},
    };
    const size_t baseline = 1; // ratios are against poplib
    std::unique_ptr<Pki> pki;
    if (tls) {
        pki = std::make_unique<Pki>(src);
        clients.pop_back(); // Net::POP3 needs IO::Socket::SSL for TLS
        for (auto& c : clients)
            c.Command.insert(c.Command.begin() + (c.Name == "quillbox" ? 1 : 2), {"--tls", pki->Ca()});
        clients[baseline].Name = "POP3_SSL";
    }
    const bool pinned = cpus.size() == 2 && std::thread::hardware_concurrency() >= 2;
    if (pinned) {
        PinSelf(static_cast<int>(cpus[0]));
        for (auto& c : clients)
            c.Command.insert(c.Command.begin(), {"/usr/bin/taskset", "-c", std::to_string(cpus[1])});
        std::printf("server on CPU %zu, clients on CPU %zu%s\n", cpus[0], cpus[1], tls ? "; POP3S" : "");
    }

    int exitCode = 0;
    std::map<size_t, long> ourPeakRss;
    for (size_t size : sizes) {
        const auto t0 = std::chrono::steady_clock::now();
        std::unique_ptr<testsupport::Dovecot> started =
            tls ? std::make_unique<testsupport::Dovecot>(size, seed, pki->Server())
                : std::make_unique<testsupport::Dovecot>(size, seed);
        const testsupport::Dovecot& server = *started;
        const double setup = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        const Sample warm = RunOnce(clients[baseline], server, tls);
        std::printf("\n%zu messages, %d runs per client; mailbox written and server started in %.2f s, "
                    "warm-up session %.2f s\n",
                    size, runs, setup, warm.Wall);

        std::vector<std::vector<Sample>> samples(clients.size());
        for (int run = 0; run < runs; ++run) {
            for (size_t k = 0; k < clients.size(); ++k) {
                const size_t c = (static_cast<size_t>(run) + k) % clients.size();
                Sample s = RunOnce(clients[c], server, tls);
                if (!s.Ok) {
                    std::fprintf(stderr, "%s\n--- server log ---\n%s\n", s.Error.c_str(), server.Log().c_str());
                    return 1;
                }
                samples[c].push_back(s);
            }
        }

        // Every client must have received the same headers.
        const Sample& ref = samples[baseline].front();
        for (size_t c = 0; c < clients.size(); ++c)
            for (const auto& s : samples[c])
                if (s.Messages != static_cast<long>(size) || s.Lines != ref.Lines || s.Bytes != ref.Bytes) {
                    std::printf("MISMATCH: %s got %ld messages, %ld lines, %ld bytes; poplib %ld, %ld, %ld\n",
                                clients[c].Name.c_str(), s.Messages, s.Lines, s.Bytes, ref.Messages, ref.Lines,
                                ref.Bytes);
                    exitCode = 1;
                }
        std::printf("header lines per session: %ld (%ld bytes)\n", ref.Lines, ref.Bytes);

        std::vector<Summary> sums;
        for (const auto& v : samples)
            sums.push_back(Summarise(v));
        const Summary& base = sums[baseline];
        std::printf("%-10s %9s %9s %11s %9s %11s %9s %9s %9s\n", "client", "wall s", "cpu s", "proc cpu s",
                    "msg/s", "peak RSS", "x msg/s", "x cpu", "x RSS");
        for (size_t c = 0; c < clients.size(); ++c) {
            const Summary& m = sums[c];
            std::printf("%-10s %9.4f %9.4f %11.4f %9.0f %7.1f MiB %9.2f %9.2f %9.2f\n", clients[c].Name.c_str(), m.Wall,
                        m.Cpu, m.ProcessCpu, m.MsgPerSec, static_cast<double>(m.PeakRssKiB) / 1024.0,
                        m.MsgPerSec / base.MsgPerSec, m.Cpu / base.Cpu,
                        static_cast<double>(m.PeakRssKiB) / static_cast<double>(base.PeakRssKiB));
        }
        std::printf("targets: msg/s >= 1.25x %s: %s; cpu <= 0.5x %s: %s\n", clients[baseline].Name.c_str(),
                    sums[0].MsgPerSec >= 1.25 * base.MsgPerSec ? "met" : "MISSED", clients[baseline].Name.c_str(),
                    sums[0].Cpu <= 0.5 * base.Cpu ? "met" : "MISSED");
        ourPeakRss[size] = sums[0].PeakRssKiB;
    }
    if (ourPeakRss.size() > 1) {
        std::printf("\nquillbox peak RSS by mailbox size:");
        for (const auto& [size, kib] : ourPeakRss)
            std::printf("  %zu: %.1f MiB", size, static_cast<double>(kib) / 1024.0);
        std::printf("\n");
    }
    return exitCode;
}
