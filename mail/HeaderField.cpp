#include "mail/HeaderText.h"

namespace {

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

char Lower(char c)
{
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

// Where the value of field Name starts in line (after the colon), or npos.
// The obsolete syntax of RFC 5322 4.5.2 allows blanks before the colon.
size_t ValueStart(const std::string& line, std::string_view name)
{
    if (line.size() <= name.size())
        return std::string::npos;
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

} // namespace

std::optional<std::string> HeaderField(const std::vector<std::string>& Lines, std::string_view Name)
{
    if (Name.empty())
        return std::nullopt;
    // Most lines differ from Name in their first byte: test that first.
    const char first = Lower(Name[0]);
    for (size_t i = 0; i < Lines.size() && !Lines[i].empty(); ++i) {
        const std::string& line = Lines[i];
        if (Lower(line[0]) != first)
            continue;
        size_t start = ValueStart(line, Name);
        if (start == std::string::npos)
            continue;
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
        std::string value;
        if (from == end)
            return value;
        size_t length = Lines[from].size() - start;
        for (size_t next = from + 1; next < end; ++next)
            length += Lines[next].size();
        value.reserve(length);
        value.append(Lines[from], start);
        for (size_t next = from + 1; next < end; ++next)
            value += Lines[next];
        return value;
    }
    return std::nullopt;
}
