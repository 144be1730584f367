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

} // namespace

std::optional<std::string> HeaderField(const std::vector<std::string>& Lines, std::string_view Name)
{
    if (Name.empty())
        return std::nullopt;
    for (size_t i = 0; i < Lines.size() && !Lines[i].empty(); ++i) {
        const size_t start = ValueStart(Lines[i], Name);
        if (start == std::string::npos)
            continue;
        std::string value = Lines[i].substr(start);
        for (size_t next = i + 1; next < Lines.size() && !Lines[next].empty() && IsBlank(Lines[next][0]); ++next)
            value += Lines[next];
        size_t first = 0;
        while (first < value.size() && IsBlank(value[first]))
            ++first;
        value.erase(0, first);
        return value;
    }
    return std::nullopt;
}
