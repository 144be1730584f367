#include "mail/HeaderFields.h"
#include "mail/HeaderText.h"

#include <algorithm>
#include <bit>
#include <cstdint>

namespace {

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

char Lower(char c)
{
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

char Upper(char c)
{
    return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c;
}

// Where the value of field Name starts in line (after the colon), or npos.
// The obsolete syntax of RFC 5322 4.5.2 allows blanks before the colon.
size_t ValueStart(const std::string& line, std::string_view name)
{
    if (line.size() <= name.size())
        return std::string::npos;
    if (line.compare(0, name.size(), name) != 0) // mostly written as named
        for (size_t i = 0; i < name.size(); ++i)
            if (Lower(line[i]) != Lower(name[i]))
                return std::string::npos;
    size_t colon = name.size();
    while (colon < line.size() && IsBlank(line[colon]))
        ++colon;
    return colon < line.size() && line[colon] == ':' ? colon + 1 : std::string::npos;
}

bool IsContinuation(const std::string& line)
{
    return !line.empty() && IsBlank(line[0]);
}

// The value of the field on Lines[i], whose value starts at start, with its
// continuation lines, into value (its capacity kept).
void UnfoldValue(const std::vector<std::string>& Lines, size_t i, size_t start, std::string& value)
{
    value.clear();
    size_t end = i + 1;
    while (end < Lines.size() && IsContinuation(Lines[end]))
        ++end;
    // The leading white space may run on into the continuation lines.
    size_t from = i;
    while (from < end) {
        const std::string& piece = Lines[from];
        while (start < piece.size() && IsBlank(piece[start]))
            ++start;
        if (start < piece.size())
            break;
        ++from;
        start = 0;
    }
    if (from == end)
        return;
    if (from + 1 == end) { // on one line, as most are
        value.assign(Lines[from], start);
        return;
    }
    size_t length = Lines[from].size() - start;
    for (size_t next = from + 1; next < end; ++next)
        length += Lines[next].size();
    value.reserve(length);
    value.append(Lines[from], start);
    for (size_t next = from + 1; next < end; ++next)
        value += Lines[next];
}

// A set of bytes, one bit each.
class TByteSet {
public:
    void Add(char c) { FBits[Index(c) / 64] |= uint64_t{1} << (Index(c) % 64); }
    bool Has(char c) const { return (FBits[Index(c) / 64] >> (Index(c) % 64)) & 1; }

private:
    static unsigned Index(char c) { return static_cast<unsigned char>(c); }
    uint64_t FBits[4] = {0, 0, 0, 0};
};

// The first line from i on whose first byte is in starts; count when there
// is none. An empty line counts too: its first byte is the terminating NUL,
// which starts holds. Most lines are passed over here.
size_t NextCandidate(const std::string* lines, size_t i, size_t count, const TByteSet& starts)
{
    for (; i < count; ++i)
        if (starts.Has(*lines[i].c_str()))
            break;
    return i;
}

// HeaderFields for at most 64 names (one bit each in the masks).
void FindFields(const std::vector<std::string>& Lines, std::span<const std::string_view> Names,
                std::span<std::optional<std::string>> Values)
{
    // Most lines start with a byte that starts no name (in either letter
    // case): they are passed over after one look-up.
    TByteSet starts;
    starts.Add('\0');
    char firsts[64] = {}; // of each name, in lower case
    uint64_t missing = 0;
    for (size_t k = 0; k < Names.size(); ++k) {
        if (Names[k].empty())
            continue;
        firsts[k] = Lower(Names[k][0]);
        starts.Add(firsts[k]);
        starts.Add(Upper(firsts[k]));
        missing |= uint64_t{1} << k;
    }
    const uint64_t wanted = missing;
    const size_t count = Lines.size();
    for (size_t i = 0; missing != 0 && (i = NextCandidate(Lines.data(), i, count, starts)) < count; ++i) {
        const std::string& line = Lines[i];
        if (line.empty())
            break;
        const char first = Lower(line[0]);
        for (uint64_t rest = missing; rest != 0; rest &= rest - 1) {
            const int k = std::countr_zero(rest);
            if (firsts[k] != first)
                continue;
            const size_t start = ValueStart(line, Names[k]);
            if (start == std::string::npos)
                continue;
            UnfoldValue(Lines, i, start, Values[k] ? *Values[k] : Values[k].emplace());
            missing &= ~(uint64_t{1} << k);
        }
    }
    for (size_t k = 0; k < Names.size(); ++k)
        if (((wanted & ~missing) >> k & 1) == 0)
            Values[k].reset();
}

} // namespace

void HeaderFields(const std::vector<std::string>& Lines, std::span<const std::string_view> Names,
                  std::span<std::optional<std::string>> Values)
{
    constexpr size_t kGroup = 64;
    for (size_t first = 0; first < Names.size(); first += kGroup) {
        const size_t size = std::min(kGroup, Names.size() - first);
        FindFields(Lines, Names.subspan(first, size), Values.subspan(first, size));
    }
}

std::optional<std::string> HeaderField(const std::vector<std::string>& Lines, std::string_view Name)
{
    // HeaderFields for one name, without its bookkeeping for several.
    if (Name.empty())
        return std::nullopt;
    TByteSet starts;
    starts.Add('\0');
    starts.Add(Lower(Name[0]));
    starts.Add(Upper(Lower(Name[0])));
    for (size_t i = 0; (i = NextCandidate(Lines.data(), i, Lines.size(), starts)) < Lines.size(); ++i) {
        if (Lines[i].empty())
            break;
        if (const size_t start = ValueStart(Lines[i], Name); start != std::string::npos) {
            std::string value;
            UnfoldValue(Lines, i, start, value);
            return value;
        }
    }
    return std::nullopt;
}
