#include "bench/ClientRun.h"

#include <sched.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>

extern char** environ;

namespace bench {

namespace {

double TimevalSeconds(const timeval& t)
{
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

double Median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const size_t m = v.size() / 2;
    return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
}

} // namespace

TSample RunClient(const TClient& client, const std::vector<std::string>& account)
{
    std::vector<std::string> args = client.Command;
    args.insert(args.end(), account.begin(), account.end());
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    TSample s;
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

bool RunRounds(const std::vector<TClient>& clients, const std::vector<std::string>& account, int runs,
               std::vector<std::vector<TSample>>& samples, std::string& error)
{
    samples.assign(clients.size(), {});
    for (int run = 0; run < runs; ++run) {
        for (size_t k = 0; k < clients.size(); ++k) {
            const size_t c = (static_cast<size_t>(run) + k) % clients.size();
            TSample s = RunClient(clients[c], account);
            if (!s.Ok) {
                error = s.Error;
                return false;
            }
            samples[c].push_back(s);
        }
    }
    return true;
}

bool SamplesAgree(const std::vector<TClient>& clients, const std::vector<std::vector<TSample>>& samples,
                  long messages, size_t ref)
{
    bool agree = true;
    const TSample& r = samples[ref].front();
    for (size_t c = 0; c < samples.size(); ++c)
        for (const auto& s : samples[c])
            if (s.Messages != messages || s.Lines != r.Lines || s.Bytes != r.Bytes) {
                std::printf("MISMATCH: %s got %ld messages, %ld lines, %ld bytes; %s %ld, %ld, %ld\n",
                            clients[c].Name.c_str(), s.Messages, s.Lines, s.Bytes, clients[ref].Name.c_str(),
                            r.Messages, r.Lines, r.Bytes);
                agree = false;
            }
    std::printf("header lines per session: %ld (%ld bytes)\n", r.Lines, r.Bytes);
    return agree;
}

TSummary Summarise(const std::vector<TSample>& samples)
{
    std::vector<double> wall, cpu, proc;
    TSummary r;
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

std::vector<std::string> PinServerAndClients()
{
    cpu_set_t all;
    if (::sched_getaffinity(0, sizeof all, &all) != 0 || CPU_COUNT(&all) < 2
        || !std::filesystem::exists("/usr/bin/taskset"))
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
    std::printf("servers on processor %d, clients on processor %d\n", first, second);
    return {"/usr/bin/taskset", "-c", std::to_string(second)};
}

} // namespace bench
