// Text crossing between the program's 8-bit strings (Windows-1252, the
// ANSI code page of the Finnish texts) and Qt's QString. Below app/ every
// string stays as bytes; only the windows convert.
#pragma once

#include <QString>

#include <string>

// Every byte becomes one character. The five bytes that Windows-1252 leaves
// undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D) become the control characters of
// the same number, so that they come back unchanged.
QString FromAnsi(const std::string& text);

// Every character becomes one byte; a character that Windows-1252 cannot
// hold becomes "?".
std::string ToAnsi(const QString& text);

// A UTF-8 text of the source (a Finnish message) as 8-bit text.
std::string AnsiOfUtf8(const char* text);
