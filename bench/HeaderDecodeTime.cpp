#include "bench/HeaderDecodeTime.h"

#include "mail/HeaderFields.h"
#include "mail/HeaderText.h"
#include "tests/support/Mailbox.h"

#include <algorithm>
#include <ctime>
#include <iterator>
#include <string>
#include <vector>

namespace {

double CpuSeconds()
{
    timespec t{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// The header block of a message as lines, the way TOP n 0 delivers them.
std::vector<std::string> HeaderLines(const std::string& message)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = message.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(message.substr(start, end - start));
        if (lines.back().empty())
            break;
    }
    return lines;
}

// What a row of the window decodes (app/MessageRow.cpp without its Qt
// text): the unfolded Subject, From and Date, found in one pass.
size_t DecodeWindowFields(const std::vector<std::string>& lines)
{
    static constexpr std::string_view kNames[] = {"Subject", "From", "Date"};
    thread_local std::optional<std::string> values[std::size(kNames)];
    HeaderFields(lines, kNames, values);
    auto value = [](size_t k) { return values[k] ? std::string_view(*values[k]) : std::string_view(); };
    size_t bytes = DecodeHeaderText(value(0)).size();
    const TMailbox from = ParseMailbox(value(1));
    bytes += from.Name.size() + from.Address.size();
    bytes += ParseMailDate(value(2)) ? 8 : DecodeHeaderText(value(2)).size();
    return bytes;
}

size_t DecodeEveryField(const std::vector<std::string>& lines, size_t& fields)
{
    size_t bytes = 0;
    for (const std::string& line : lines) {
        const size_t colon = line.find(':');
        if (line.empty() || line[0] == ' ' || line[0] == '\t' || colon == std::string::npos)
            continue;
        ++fields;
        bytes += DecodeHeaderText(HeaderField(lines, std::string_view(line).substr(0, colon)).value_or("")).size();
    }
    return bytes;
}

} // namespace

THeaderDecodeTime MeasureHeaderDecoding(size_t count, uint32_t seed, int runs)
{
    // The window decodes a message's header when its TOP has ended, with
    // the lines just received: here batches of kBatch messages are made
    // (not timed) and decoded at once (timed), so that the lines are as
    // fresh in the caches as in the window, not read back from a mailbox
    // far larger than them.
    constexpr size_t kBatch = 64;
    THeaderDecodeTime result;
    std::vector<double> window, every;
    for (int run = 0; run < runs; ++run) {
        size_t bytes = 0, fields = 0;
        double windowTime = 0, everyTime = 0;
        for (size_t first = 0; first < count; first += kBatch) {
            std::vector<std::vector<std::string>> headers;
            for (size_t i = first; i < std::min(count, first + kBatch); ++i)
                headers.push_back(HeaderLines(testsupport::GenerateMessage(seed, i)));
            double t0 = CpuSeconds();
            for (const auto& lines : headers)
                bytes += DecodeWindowFields(lines);
            const double t1 = CpuSeconds();
            for (const auto& lines : headers)
                bytes += DecodeEveryField(lines, fields);
            everyTime += CpuSeconds() - t1;
            windowTime += t1 - t0;
        }
        window.push_back(windowTime);
        every.push_back(everyTime);
        result.OutputBytes = bytes;
        result.Fields = fields;
    }
    result.WindowFields = Median(window);
    result.EveryField = Median(every);
    return result;
}
