#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace quorvelle::core
{
// The leading integer of a text as a standard string-to-integer conversion reads it: C-locale
// white space, an optional sign, then decimal digits up to the first other character. None when
// there is no digit or the value lies outside int32.
std::optional<int32_t> readLeadingInt32 (std::string_view text);

// The same, throwing std::invalid_argument("invalid stoi argument") for a text without leading
// digits and std::out_of_range("stoi argument out of range") for a value outside int32.
int32_t convertStoi (std::string_view text);
} // namespace quorvelle::core
