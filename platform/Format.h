// Message formatting with "%s" and "%d" placeholders, filled in order from a
// list of text or integer arguments ("%%" is a literal percent sign). Used
// for the fixed message texts that carry values.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

using TVarRec = std::variant<std::string, int64_t>;
using TVarRecs = std::vector<TVarRec>;

// A placeholder whose argument is missing or of the other kind is replaced
// by the argument's natural text (or nothing), never left undefined.
std::string Format(const std::string& fmt, const TVarRecs& args);

// The text without blanks and control characters (every byte up to ' ')
// at either end.
std::string Trim(const std::string& text);

// Whether a and b are equal when ASCII letters are compared without regard
// to case (protocol keywords: capability and SASL mechanism names).
bool SameText(std::string_view a, std::string_view b);
