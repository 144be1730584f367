// Several fields of one header block found in a single pass over its lines:
// for a caller that wants more than one (the message list wants Subject,
// From and Date of every message), rather than one pass per HeaderField.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Values[k] becomes what HeaderField(Lines, Names[k]) gives: the unfolded
// value of the first field called Names[k] (case-blind), or std::nullopt.
// Names and Values have the same size; the pass ends at the empty line that
// ends the block, or as soon as every name has been found. A value found
// goes into the string Values[k] already holds, keeping its capacity: a
// caller that keeps Values from block to block seldom allocates.
void HeaderFields(const std::vector<std::string>& Lines, std::span<const std::string_view> Names,
                  std::span<std::optional<std::string>> Values);
