// What every benchmark client measures of its own session: clock readings
// and its peak resident set.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace bench {

// Seconds on the given clock (CLOCK_MONOTONIC for wall time,
// CLOCK_PROCESS_CPUTIME_ID for the CPU time of all the process's threads).
inline double Seconds(clockid_t clock)
{
    timespec t{};
    ::clock_gettime(clock, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// Peak resident set of this process in KiB (VmHWM), 0 when unknown.
inline long PeakRssKiB()
{
    long kib = 0;
    if (std::FILE* f = std::fopen("/proc/self/status", "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, f))
            if (std::strncmp(line, "VmHWM:", 6) == 0)
                kib = std::strtol(line + 6, nullptr, 10);
        std::fclose(f);
    }
    return kib;
}

} // namespace bench
