#include "app/MailMsg.h"

#include "platform/Format.h"

#include <array>

namespace {

struct HeaderField {
    const char* Prefix;
    std::string TMailMessage::*Field;
};

constexpr std::array<HeaderField, 3> kFields = {{
    {"From: ", &TMailMessage::From},
    {"Date: ", &TMailMessage::Date},
    {"Subject: ", &TMailMessage::Subject},
}};

} // namespace

void ExtractHeaders(TMailMessage& message)
{
    for (const std::string& line : message.HeaderLines) {
        for (const HeaderField& field : kFields) {
            const std::string prefix = field.Prefix;
            if (line.compare(0, prefix.size(), prefix) == 0) {
                message.*field.Field = Trim(line.substr(prefix.size()));
                break;
            }
        }
    }
}
