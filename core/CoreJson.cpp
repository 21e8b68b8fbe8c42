#include "core/CoreJson.h"

#include <array>
#include <cmath>
#include <limits>

namespace quorvelle::core
{
const Json* findMember (const Json& v, std::string_view key)
{
    if (! v.is_object())
        return nullptr;

    auto it = v.find (key);
    return it == v.end() ? nullptr : &*it;
}

const Json& memberOrNull (const Json& v, std::string_view key)
{
    static const Json null;
    const auto* m = findMember (v, key);
    return m != nullptr ? *m : null;
}

int32_t saturatingInt32 (double value)
{
    if (std::isnan (value))
        return 0;
    if (value >= 2147483647.0)
        return std::numeric_limits<int32_t>::max();
    if (value <= -2147483648.0)
        return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t> (value); // truncates toward zero
}

int32_t lowInt32 (const Json& integer)
{
    const auto bits = integer.is_number_unsigned() ? static_cast<uint64_t> (integer.get<uint64_t>())
                                                   : static_cast<uint64_t> (integer.get<int64_t>());
    return static_cast<int32_t> (static_cast<uint32_t> (bits));
}

int32_t toInt32 (const Json& value)
{
    if (value.is_boolean())
        return value.get<bool>() ? 1 : 0;
    if (value.is_number_integer())
        return lowInt32 (value);
    if (value.is_number_float())
        return saturatingInt32 (value.get<double>());
    return value.get<int32_t>(); // the library's type error 302 for every other type
}

bool getBool (const Json& v, std::string_view key, bool fallback)
{
    const auto* m = findMember (v, key);
    return (m != nullptr && m->is_boolean()) ? m->get<bool>() : fallback;
}

double getDouble (const Json& v, std::string_view key, double fallback)
{
    const auto* m = findMember (v, key);
    return (m != nullptr && m->is_number()) ? m->get<double>() : fallback;
}

int32_t getInt (const Json& v, std::string_view key, int32_t fallback)
{
    const auto* m = findMember (v, key);
    if (m == nullptr)
        return fallback;
    if (m->is_number_integer())
        return lowInt32 (*m);
    if (m->is_number_float())
        return saturatingInt32 (m->get<double>());
    return fallback;
}

std::string getString (const Json& v, std::string_view key, const std::string& fallback)
{
    const auto* m = findMember (v, key);
    return (m != nullptr && m->is_string()) ? m->get_ref<const std::string&>() : fallback;
}

std::string_view getStringView (const Json& v, std::string_view key)
{
    const auto* m = findMember (v, key);
    return (m != nullptr && m->is_string()) ? std::string_view (m->get_ref<const std::string&>()) : std::string_view {};
}

std::optional<std::string> findString (const Json& v, std::string_view key)
{
    const auto* m = findMember (v, key);
    if (m != nullptr && m->is_string())
        return m->get_ref<const std::string&>();
    return std::nullopt;
}

std::optional<double> getOptionalNumber (const Json& v, std::string_view key)
{
    const auto* m = findMember (v, key);
    if (m != nullptr && m->is_number())
        return m->get<double>();
    return std::nullopt;
}

std::optional<std::string> getOptionalString (const Json& v, std::string_view key)
{
    const auto* m = findMember (v, key);
    if (m == nullptr || m->is_null())
        return std::nullopt;
    return m->get<std::string>(); // throws the library's type error for other types
}

std::vector<std::string> readStringList (const Json& v)
{
    std::vector<std::string> out;
    if (! v.is_array())
        return out;

    out.reserve (v.size());
    for (const auto& element : v)
        if (element.is_string())
            out.push_back (element.get_ref<const std::string&>());
    return out;
}

namespace
{
    constexpr std::array<int8_t, 256> makeBase64Table()
    {
        std::array<int8_t, 256> table {};
        for (auto& entry : table)
            entry = -1;
        for (int i = 0; i < 26; ++i)
        {
            table[static_cast<std::size_t> ('A' + i)] = static_cast<int8_t> (i);
            table[static_cast<std::size_t> ('a' + i)] = static_cast<int8_t> (26 + i);
        }
        for (int i = 0; i < 10; ++i)
            table[static_cast<std::size_t> ('0' + i)] = static_cast<int8_t> (52 + i);
        table[static_cast<std::size_t> ('+')] = 62;
        table[static_cast<std::size_t> ('/')] = 63;
        return table;
    }

    constexpr auto base64Values = makeBase64Table();
} // namespace

std::vector<uint8_t> decodeBase64 (std::string_view text)
{
    std::vector<uint8_t> out;
    if (text.size() > kMaxBase64TextLength)
        return out;

    out.reserve (text.size() * 3 / 4);
    uint32_t accumulator = 0;
    int pendingBits = 0;

    for (const char ch : text)
    {
        const auto value = base64Values[static_cast<unsigned char> (ch)];
        if (value < 0)
            continue;

        accumulator = (accumulator << 6) | static_cast<uint32_t> (value);
        pendingBits += 6;
        if (pendingBits >= 8)
        {
            pendingBits -= 8;
            out.push_back (static_cast<uint8_t> ((accumulator >> pendingBits) & 0xFFu));
        }
    }
    return out;
}
} // namespace quorvelle::core
