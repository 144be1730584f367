#include "platform/Format.h"

namespace {

std::string ArgText(const TVarRec& arg)
{
    if (const auto* text = std::get_if<std::string>(&arg))
        return *text;
    return std::to_string(std::get<int64_t>(arg));
}

} // namespace

std::string Format(const std::string& fmt, const TVarRecs& args)
{
    std::string out;
    out.reserve(fmt.size() + 16);
    size_t next = 0;
    for (size_t i = 0; i < fmt.size(); ++i) {
        char c = fmt[i];
        if (c != '%' || i + 1 >= fmt.size()) {
            out += c;
            continue;
        }
        char spec = fmt[i + 1];
        if (spec == '%') {
            out += '%';
            ++i;
        } else if (spec == 's' || spec == 'd') {
            if (next < args.size())
                out += ArgText(args[next]);
            ++next;
            ++i;
        } else {
            out += c;
        }
    }
    return out;
}

std::string Trim(const std::string& text)
{
    size_t first = 0;
    size_t last = text.size();
    while (first < last && static_cast<unsigned char>(text[first]) <= ' ')
        ++first;
    while (last > first && static_cast<unsigned char>(text[last - 1]) <= ' ')
        --last;
    return text.substr(first, last - first);
}

bool SameText(std::string_view a, std::string_view b)
{
    auto upper = [](char ch) { return ch >= 'a' && ch <= 'z' ? static_cast<char>(ch - 'a' + 'A') : ch; };
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (upper(a[i]) != upper(b[i]))
            return false;
    return true;
}
