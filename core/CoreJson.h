#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace quorvelle::core
{
using Json = nlohmann::json;

// Field accessors shared by every reader of the core. Each first checks that `v` is an object
// holding `key`; a missing member, or one of another JSON type, gives the default.
bool getBool (const Json& v, std::string_view key, bool fallback);
double getDouble (const Json& v, std::string_view key, double fallback);
// Integers keep their low 32 bits; floating values truncate toward zero and saturate at the
// int32 limits (NaN gives 0).
int32_t getInt (const Json& v, std::string_view key, int32_t fallback);
std::string getString (const Json& v, std::string_view key, const std::string& fallback = {});
std::optional<std::string> findString (const Json& v, std::string_view key);
// The string member viewed in place (valid while `v` lives); empty when absent or not a string.
std::string_view getStringView (const Json& v, std::string_view key);
// A number as double; none when absent, null or of another type.
std::optional<double> getOptionalNumber (const Json& v, std::string_view key);
// None when absent or null; any other non-string type throws the JSON library's type error.
std::optional<std::string> getOptionalString (const Json& v, std::string_view key);
// The string elements of an array, in order; anything else gives an empty list.
std::vector<std::string> readStringList (const Json& v);

// The member `key` of `v` when `v` is an object holding it (a null member counts as held),
// else nullptr. Lets a reader take a member without copying it and without ever reading outside
// the payload.
const Json* findMember (const Json& v, std::string_view key);
// The member `key` of `v`, or a null value when there is none. Every reader takes null as "all
// defaults" (an empty list, a record with every field at its default).
const Json& memberOrNull (const Json& v, std::string_view key);

// Each element of an array read by `readElement`, in order; anything else gives an empty list.
template <typename Reader>
auto readArray (const Json& v, Reader&& readElement) -> std::vector<std::invoke_result_t<Reader&, const Json&>>
{
    std::vector<std::invoke_result_t<Reader&, const Json&>> out;
    if (! v.is_array())
        return out;

    out.reserve (v.size());
    for (const auto& element : v)
        out.push_back (readElement (element));
    return out;
}

// double -> int32: truncation toward zero, saturating at the limits; NaN gives 0.
int32_t saturatingInt32 (double value);
// A JSON integer's low 32 bits (signed or unsigned alike).
int32_t lowInt32 (const Json& integer);
// Booleans give 0 or 1, integers their low 32 bits, floating values truncate (saturating); any
// other type throws the JSON library's type error.
int32_t toInt32 (const Json& value);

// Base64 (standard alphabet); every character outside it is skipped, leftover bits are dropped.
// A text longer than kMaxBase64TextLength gives an empty result.
inline constexpr std::size_t kMaxBase64TextLength = 0x6000000;
std::vector<uint8_t> decodeBase64 (std::string_view text);
} // namespace quorvelle::core
