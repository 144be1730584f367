// quillbox-windowbench [--messages 10000] [--runs 3] [--seed 1]
//
// Times the whole window's check (quillbox-windowcheck: the program's
// windows on a real X server, Connect pressed, every row shown, Disconnect)
// against the engine's own check of the same mailbox (quillbox-pop3check),
// pipelined and lock-step, the window with its log window hidden and shown.
// The server is a private Dovecot on 127.0.0.1 with a generated mailbox; the
// X server a private Xvfb, which the windows reach through Qt's xcb platform
// (the offscreen platform would skip the X11 traffic a repaint makes).
//
// Dovecot and Xvfb run on the first processor, every client on the second
// (taskset). One warm-up session lets the server build its index; then the
// clients take turns run by run (the order rotates). Per client it prints
// the medians of the session's wall and CPU seconds (CPU of all the client's
// threads), the largest peak RSS, and for the windows the ratios against the
// engine in the same mode, with the target: the window's wall at most 1.5
// times the engine's. It prints figures only; it exits 1 only when a client
// fails or the clients disagree on the header lines they received.
#include "bench/ClientRun.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Dovecot.h"

#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace {

// A private X server on the first free display from :90 on.
class TXvfb {
public:
    TXvfb()
    {
        std::string dir = (std::filesystem::temp_directory_path() / "quillbox-xvfb-XXXXXX").string();
        FDir = ::mkdtemp(dir.data()) ? dir : std::string();
        for (int display = 90; display < 190 && FDisplay < 0; ++display) {
            const std::string socket = "/tmp/.X11-unix/X" + std::to_string(display);
            if (std::filesystem::exists(socket) || std::filesystem::exists("/tmp/.X" + std::to_string(display) + "-lock"))
                continue;
            std::string failure;
            if (FProcess.Start({"/usr/bin/Xvfb", ":" + std::to_string(display), "-screen", "0", "1280x1024x24",
                                "-nolisten", "tcp"},
                               FDir + "/xvfb.log", [&] { return std::filesystem::exists(socket); }, 10000, failure))
                FDisplay = display;
        }
    }
    ~TXvfb()
    {
        FProcess.Stop();
        std::error_code ec;
        std::filesystem::remove_all(FDir, ec);
    }
    int Display() const { return FDisplay; }
    // A runtime folder of its own for Qt (XDG_RUNTIME_DIR), mode 0700.
    const std::string& Dir() const { return FDir; }

private:
    std::string FDir;
    int FDisplay = -1;
    testsupport::ChildProcess FProcess;
};

std::string SelfDir()
{
    return std::filesystem::read_symlink("/proc/self/exe").parent_path().string();
}

double Ratio(double a, double b)
{
    return b > 0 ? a / b : 0;
}

} // namespace

int main(int argc, char** argv)
{
    size_t messages = 10000;
    int runs = 3;
    uint32_t seed = 1;
    for (int i = 1; i < argc; i += 2) {
        const std::string opt = argv[i];
        if (i + 1 < argc && opt == "--messages")
            messages = std::stoul(argv[i + 1]);
        else if (i + 1 < argc && opt == "--runs")
            runs = std::max(1, std::stoi(argv[i + 1]));
        else if (i + 1 < argc && opt == "--seed")
            seed = static_cast<uint32_t>(std::stoul(argv[i + 1]));
        else {
            std::fprintf(stderr, "usage: quillbox-windowbench [--messages 10000] [--runs 3] [--seed 1]\n");
            return 2;
        }
    }

    const std::vector<std::string> pin = bench::PinServerAndClients();
    auto pinned = [&pin](std::vector<std::string> command) {
        command.insert(command.begin(), pin.begin(), pin.end());
        return command;
    };
    const std::string self = SelfDir();
    const std::string engine = self + "/quillbox-pop3check", window = self + "/quillbox-windowcheck";
    // Each window client is compared with the engine client named by Base.
    struct TEntry {
        bench::TClient Client;
        int Base; // -1 for the engine's own
    };
    const std::vector<TEntry> entries = {
        {{"engine pipelined", pinned({engine, "--pipelined"})}, -1},
        {{"engine lock-step", pinned({engine})}, -1},
        {{"window pipelined", pinned({window})}, 0},
        {{"window pipelined, log", pinned({window, "--log"})}, 0},
        {{"window lock-step", pinned({window, "--lockstep"})}, 1},
        {{"window lock-step, log", pinned({window, "--lockstep", "--log"})}, 1},
    };

    const auto t0 = std::chrono::steady_clock::now();
    testsupport::Dovecot server(messages, seed);
    TXvfb xvfb;
    if (xvfb.Display() < 0) {
        std::fprintf(stderr, "quillbox-windowbench: Xvfb did not start\n");
        return 1;
    }
    ::setenv("DISPLAY", (":" + std::to_string(xvfb.Display())).c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    ::setenv("XDG_RUNTIME_DIR", xvfb.Dir().c_str(), 1);
    const std::vector<std::string> account = {server.Host(), server.PortText(), server.User(), server.Password()};
    const double setup = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const bench::TSample warm = bench::RunClient(entries[0].Client, account);
    std::printf("%zu messages, %d runs per client, Xvfb on display :%d; mailbox written and servers started in "
                "%.2f s, warm-up session %.2f s\n",
                messages, runs, xvfb.Display(), setup, warm.Wall);

    std::vector<bench::TClient> clients;
    for (const auto& e : entries)
        clients.push_back(e.Client);
    std::vector<std::vector<bench::TSample>> samples;
    std::string error;
    if (!bench::RunRounds(clients, account, runs, samples, error)) {
        std::fprintf(stderr, "%s\n--- server log ---\n%s\n", error.c_str(), server.Log().c_str());
        return 1;
    }
    const int exitCode = bench::SamplesAgree(clients, samples, static_cast<long>(messages), 0) ? 0 : 1;

    std::vector<bench::TSummary> sums;
    for (const auto& v : samples)
        sums.push_back(bench::Summarise(v));
    std::printf("%-22s %9s %9s %11s %10s %12s %11s\n", "client", "wall s", "cpu s", "proc cpu s", "peak RSS",
                "x wall", "x cpu");
    for (size_t c = 0; c < entries.size(); ++c) {
        const bench::TSummary& m = sums[c];
        std::printf("%-22s %9.4f %9.4f %11.4f %6.1f MiB", entries[c].Client.Name.c_str(), m.Wall, m.Cpu,
                    m.ProcessCpu, static_cast<double>(m.PeakRssKiB) / 1024.0);
        if (entries[c].Base >= 0) {
            const bench::TSummary& base = sums[size_t(entries[c].Base)];
            const double wall = Ratio(m.Wall, base.Wall);
            std::printf(" %5.2f %-6s %11.2f", wall, wall <= 1.5 ? "met" : "MISSED", Ratio(m.Cpu, base.Cpu));
        }
        std::printf("\n");
    }
    std::printf("x wall, x cpu: against the engine's check in the same mode; target: the window's wall at most "
                "1.5x the engine's\n");
    return exitCode;
}
