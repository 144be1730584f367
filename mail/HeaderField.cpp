#include "mail/HeaderFields.h"
#include "mail/HeaderText.h"

#include <algorithm>
#include <array>
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
    for (size_t i = 0; i < name.size(); ++i)
        if (line[i] != name[i] && Lower(line[i]) != Lower(name[i]))
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
    size_t length = Lines[from].size() - start;
    for (size_t next = from + 1; next < end; ++next)
        length += Lines[next].size();
    value.reserve(length);
    value.append(Lines[from], start);
    for (size_t next = from + 1; next < end; ++next)
        value += Lines[next];
}

// The first line from i on that is empty or starts with a byte marked in
// starts; count when there is none. Most lines are passed over here.
size_t NextCandidate(const std::string* lines, size_t i, size_t count, const std::array<bool, 256>& starts)
{
    for (; i < count; ++i)
        if (lines[i].empty() || starts[static_cast<unsigned char>(lines[i].front())])
            break;
    return i;
}

// HeaderFields for at most 64 names (one bit each in found).
void FindFields(const std::vector<std::string>& Lines, std::span<const std::string_view> Names,
                std::span<std::optional<std::string>> Values)
{
    // Most lines start with a byte that starts no name (in either letter
    // case): they are passed over after one look-up.
    std::array<bool, 256> starts{};
    uint64_t found = 0;
    uint64_t wanted = 0;
    for (size_t k = 0; k < Names.size(); ++k) {
        if (Names[k].empty())
            continue;
        const char first = Lower(Names[k][0]);
        starts[static_cast<unsigned char>(first)] = true;
        starts[static_cast<unsigned char>(Upper(first))] = true;
        wanted |= uint64_t{1} << k;
    }
    const size_t count = Lines.size();
    for (size_t i = 0; found != wanted && (i = NextCandidate(Lines.data(), i, count, starts)) < count; ++i) {
        const std::string& line = Lines[i];
        if (line.empty())
            break;
        for (size_t k = 0; k < Names.size(); ++k) {
            const uint64_t bit = uint64_t{1} << k;
            if ((wanted & ~found & bit) == 0)
                continue;
            const size_t start = ValueStart(line, Names[k]);
            if (start == std::string::npos)
                continue;
            UnfoldValue(Lines, i, start, Values[k] ? *Values[k] : Values[k].emplace());
            found |= bit;
        }
    }
    for (size_t k = 0; k < Names.size(); ++k)
        if ((found & (uint64_t{1} << k)) == 0)
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
    std::optional<std::string> value;
    HeaderFields(Lines, {&Name, 1}, {&value, 1});
    return value;
}
