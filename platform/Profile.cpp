#include "platform/IniFiles.h"
#include "platform/Format.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <vector>

namespace platform {

namespace {

// One line of a profile: its content [Begin, End) and the offset just past
// its line break (End when the file ends without one).
struct Line {
    size_t Begin = 0;
    size_t End = 0;
    size_t Next = 0;
};

std::vector<Line> SplitLines(const std::string& text)
{
    std::vector<Line> lines;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        Line line;
        line.Begin = pos;
        line.Next = nl == std::string::npos ? text.size() : nl + 1;
        line.End = nl == std::string::npos ? text.size() : nl;
        if (line.End > line.Begin && text[line.End - 1] == '\r')
            --line.End;
        lines.push_back(line);
        pos = line.Next;
    }
    return lines;
}

bool SameName(const std::string& a, const std::string& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]);
        unsigned char y = static_cast<unsigned char>(b[i]);
        if (x < 0x80 && y < 0x80) {
            if (std::tolower(x) != std::tolower(y))
                return false;
        } else if (x != y) {
            return false;
        }
    }
    return true;
}

// The section name of a "[Name]" line, if it is one.
std::optional<std::string> SectionName(const std::string& content)
{
    std::string t = Trim(content);
    if (t.empty() || t[0] != '[')
        return std::nullopt;
    size_t close = t.find(']');
    if (close == std::string::npos)
        return std::nullopt;
    return Trim(t.substr(1, close - 1));
}

// The key of a "key=value" line; comment lines (";") have none.
std::optional<std::string> KeyName(const std::string& content)
{
    std::string t = Trim(content);
    if (t.empty() || t[0] == ';')
        return std::nullopt;
    size_t eq = content.find('=');
    if (eq == std::string::npos)
        return std::nullopt;
    return Trim(content.substr(0, eq));
}

// Where a key lives in a file: the section's line range [First, Last) after
// its header, and the key's line when present.
struct Location {
    std::optional<size_t> Header;
    size_t First = 0;
    size_t Last = 0;
    std::optional<size_t> KeyLine;
};

Location Find(const std::string& text, const std::vector<Line>& lines, const std::string& section,
              const std::string& key)
{
    Location loc;
    const std::string wantSection = Trim(section);
    const std::string wantKey = Trim(key);
    for (size_t i = 0; i < lines.size(); ++i) {
        auto name = SectionName(text.substr(lines[i].Begin, lines[i].End - lines[i].Begin));
        if (!name || !SameName(*name, wantSection))
            continue;
        loc.Header = i;
        loc.First = i + 1;
        loc.Last = i + 1;
        while (loc.Last < lines.size()
               && !SectionName(text.substr(lines[loc.Last].Begin,
                                           lines[loc.Last].End - lines[loc.Last].Begin)))
            ++loc.Last;
        for (size_t k = loc.First; k < loc.Last; ++k) {
            auto found = KeyName(text.substr(lines[k].Begin, lines[k].End - lines[k].Begin));
            if (found && SameName(*found, wantKey)) {
                loc.KeyLine = k;
                break;
            }
        }
        return loc;
    }
    return loc;
}

// Reads the whole file; nullopt when it exists but cannot be read. A missing
// file reads as empty.
std::optional<std::string> ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        struct stat st {};
        if (stat(path.c_str(), &st) != 0 && errno == ENOENT)
            return std::string();
        return std::nullopt;
    }
    std::ostringstream buffer;
    buffer << in.rdbuf();
    if (in.bad())
        return std::nullopt;
    return buffer.str();
}

// Replaces the file at path with text: a temporary file in the same folder,
// flushed to disk, then renamed over the old one. An existing file keeps its
// permission bits.
bool ReplaceFile(const std::string& path, const std::string& text)
{
    std::string temp = path + ".XXXXXX";
    int fd = mkstemp(temp.data());
    if (fd < 0)
        return false;
    struct stat old {};
    mode_t mode;
    if (stat(path.c_str(), &old) == 0) {
        mode = old.st_mode & 07777;
    } else {
        mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    bool ok = fchmod(fd, mode) == 0;
    size_t done = 0;
    while (ok && done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0;
        if (ok)
            done += size_t(n);
    }
    ok = ok && fsync(fd) == 0;
    ok = (close(fd) == 0) && ok;
    ok = ok && rename(temp.c_str(), path.c_str()) == 0;
    if (!ok)
        unlink(temp.c_str());
    return ok;
}

std::string OneLine(std::string value)
{
    for (char& c : value)
        if (c == '\r' || c == '\n')
            c = ' ';
    return value;
}

} // namespace

std::string GetPrivateProfileString(const std::string& section, const std::string& key,
                                    const std::string& defaultValue, const std::string& path)
{
    auto text = ReadAll(path);
    std::string value = defaultValue;
    if (text) {
        auto lines = SplitLines(*text);
        Location loc = Find(*text, lines, section, key);
        if (loc.KeyLine) {
            const Line& line = lines[*loc.KeyLine];
            std::string content = text->substr(line.Begin, line.End - line.Begin);
            value = Trim(content.substr(content.find('=') + 1));
        }
    }
    if (value.size() > kProfileValueMax)
        value.resize(kProfileValueMax);
    return value;
}

bool WritePrivateProfileString(const std::string& section, const std::string& key,
                               const std::string& value, const std::string& path)
{
    auto read = ReadAll(path);
    if (!read)
        return false;
    std::string text = std::move(*read);
    auto lines = SplitLines(text);
    // New lines take the file's own line break.
    const std::string eol =
        (!lines.empty() && lines[0].Next > lines[0].End + 1) ? std::string("\r\n") : std::string("\n");
    const std::string entry = Trim(key) + "=" + OneLine(value);

    Location loc = Find(text, lines, section, key);
    if (loc.KeyLine) {
        const Line& line = lines[*loc.KeyLine];
        text.replace(line.Begin, line.End - line.Begin, entry);
    } else if (loc.Header) {
        // After the section's last line that is not blank, so that a blank
        // line separating sections stays where it is.
        size_t after = *loc.Header;
        for (size_t k = loc.First; k < loc.Last; ++k)
            if (!Trim(text.substr(lines[k].Begin, lines[k].End - lines[k].Begin)).empty())
                after = k;
        const Line& line = lines[after];
        std::string insert = (line.Next == line.End ? eol : std::string()) + entry + eol;
        text.insert(line.Next, insert);
    } else {
        if (!text.empty() && text.back() != '\n')
            text += eol;
        text += "[" + Trim(section) + "]" + eol + entry + eol;
    }
    return ReplaceFile(path, text);
}

Integer ProfileTextToInt(const std::string& text, Integer defaultValue)
{
    std::string t = text;
    size_t pos = 0;
    while (pos < t.size() && t[pos] == ' ')
        ++pos;
    bool negative = false;
    if (pos < t.size() && (t[pos] == '-' || t[pos] == '+')) {
        negative = t[pos] == '-';
        ++pos;
    }
    int base = 10;
    if (text.size() > 2 && (text.compare(0, 2, "0x") == 0 || text.compare(0, 2, "0X") == 0)) {
        base = 16;
        pos = 2;
        negative = false;
    } else if (pos < t.size() && t[pos] == '$') {
        base = 16;
        ++pos;
    }
    if (pos >= t.size())
        return defaultValue;
    int64_t result = 0;
    for (; pos < t.size(); ++pos) {
        int digit;
        char c = t[pos];
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return defaultValue;
        result = result * base + digit;
        // Hex forms cover the whole 32-bit pattern ($FFFFFFFF is -1);
        // decimal ones the signed range.
        if (result > (base == 16 ? int64_t(0xFFFFFFFF) : int64_t(0x80000000)))
            return defaultValue;
    }
    if (base == 16)
        return static_cast<Integer>(static_cast<uint32_t>(negative ? -result : result));
    if (negative)
        result = -result;
    if (result > INT32_MAX)
        return defaultValue;
    return static_cast<Integer>(result);
}

} // namespace platform
