// Running one client session of a benchmark in a process of its own and
// reading the line it prints:
//   messages=N lines=L bytes=B wall=SECONDS cpu=SECONDS rss=KIB
// and the medians of several runs.
#pragma once

#include <string>
#include <vector>

namespace bench {

struct TClient {
    std::string Name;
    std::vector<std::string> Command; // HOST PORT USER PASSWORD are appended
};

struct TSample {
    bool Ok = false;
    std::string Error;
    long Messages = 0, Lines = 0, Bytes = 0;
    double Wall = 0, Cpu = 0, ProcessCpu = 0;
    long PeakRssKiB = 0;
};

// Runs the client against the account and waits for it; the child inherits
// this process's environment.
TSample RunClient(const TClient& client, const std::vector<std::string>& account);

// Runs every client `runs` times against the account, the clients taking
// turns run by run (the order rotates); samples[c] holds client c's runs.
// Stops at the first client that fails and returns false with its error.
bool RunRounds(const std::vector<TClient>& clients, const std::vector<std::string>& account, int runs,
               std::vector<std::vector<TSample>>& samples, std::string& error);

// Whether every client's samples hold `messages` messages and the header
// lines and bytes of the first sample of client `ref`; prints a MISMATCH
// line for each that does not, and the reference's figures.
bool SamplesAgree(const std::vector<TClient>& clients, const std::vector<std::vector<TSample>>& samples,
                  long messages, size_t ref);

// Medians, and messages per second at the median wall time.
struct TSummary {
    double Wall = 0, Cpu = 0, ProcessCpu = 0, MsgPerSec = 0;
    long PeakRssKiB = 0; // the largest of the runs
};
TSummary Summarise(const std::vector<TSample>& samples);

// Pins this process (and what it starts later: the server) to the first
// processor; returns the prefix that starts a client on the second (taskset),
// or nothing when the machine has one processor or no taskset.
std::vector<std::string> PinServerAndClients();

} // namespace bench
