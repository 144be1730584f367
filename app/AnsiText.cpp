#include "app/AnsiText.h"

#include "mail/Charset.h"

namespace {

using mail::kWindows1252High;

char ToByte(char16_t c)
{
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF))
        return static_cast<char>(c);
    for (size_t i = 0; i < kWindows1252High.size(); ++i)
        if (kWindows1252High[i] == c)
            return static_cast<char>(0x80 + i);
    return '?';
}

} // namespace

QString FromAnsi(const std::string& text)
{
    QString out;
    out.reserve(static_cast<qsizetype>(text.size()));
    for (char ch : text) {
        auto b = static_cast<unsigned char>(ch);
        out.append(QChar(b >= 0x80 && b < 0xA0 ? kWindows1252High[b - 0x80] : char16_t(b)));
    }
    return out;
}

std::string ToAnsi(const QString& text)
{
    std::string out;
    out.reserve(static_cast<size_t>(text.size()));
    for (qsizetype i = 0; i < text.size(); ++i) {
        char16_t c = text[i].unicode();
        // A surrogate pair is one character that the code page cannot hold.
        if (QChar::isHighSurrogate(c) && i + 1 < text.size() && text[i + 1].isLowSurrogate())
            ++i;
        out += ToByte(c);
    }
    return out;
}

std::string AnsiOfUtf8(const char* text)
{
    return ToAnsi(QString::fromUtf8(text));
}
