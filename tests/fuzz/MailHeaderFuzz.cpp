// libFuzzer target for the header decoding of mail/: arbitrary bytes as a
// header value and as a header block. Every text that comes out must be
// valid UTF-8 without control characters other than tab, and a date must
// lie within the years 1000 to 9999; anything else aborts, as does any
// sanitizer report.
#include "mail/HeaderText.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

// A check of its own, written apart from the decoder's: Unicode table 3-7.
bool IsDisplayText(std::string_view s)
{
    size_t i = 0;
    while (i < s.size()) {
        const auto b = static_cast<unsigned char>(s[i]);
        uint32_t c;
        size_t n;
        if (b < 0x80) {
            c = b;
            n = 1;
        } else if ((b & 0xE0) == 0xC0) {
            c = b & 0x1F;
            n = 2;
        } else if ((b & 0xF0) == 0xE0) {
            c = b & 0x0F;
            n = 3;
        } else if ((b & 0xF8) == 0xF0) {
            c = b & 0x07;
            n = 4;
        } else {
            return false;
        }
        if (i + n > s.size())
            return false;
        for (size_t k = 1; k < n; ++k) {
            const auto t = static_cast<unsigned char>(s[i + k]);
            if ((t & 0xC0) != 0x80)
                return false;
            c = (c << 6) | (t & 0x3F);
        }
        const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (c < least[n] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
            return false;
        if ((c < 0x20 && c != '\t') || (c >= 0x7F && c <= 0x9F))
            return false;
        i += n;
    }
    return true;
}

void Check(const std::string& text)
{
    if (!IsDisplayText(text))
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    Check(DecodeHeaderText(input));
    const TMailbox box = ParseMailbox(input);
    Check(box.Name);
    Check(box.Address);
    if (const auto time = ParseMailDate(input)) {
        constexpr int64_t kYear1000 = -30610224000 - 86400, kYear10000 = 253402300800 + 86400;
        if (*time < kYear1000 || *time > kYear10000)
            std::abort();
    }

    // The same bytes as a header block, one line per LF.
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = input.find('\n', start)) != std::string_view::npos; start = end + 1)
        lines.emplace_back(input.substr(start, end - start));
    lines.emplace_back(input.substr(start));
    for (const char* name : {"Subject", "From", "Date"})
        if (const auto value = HeaderField(lines, name)) {
            Check(DecodeHeaderText(*value));
            Check(ParseMailbox(*value).Name);
            ParseMailDate(*value);
        }
    return 0;
}
