#include "core/IntegerText.h"

#include "core/CLocaleText.h"

#include <stdexcept>

namespace quorvelle::core
{
namespace
{
    enum class LeadingInt { ok, noDigits, outOfRange };

    LeadingInt parse (std::string_view text, int32_t& value)
    {
        std::size_t i = 0;
        while (i < text.size() && isCLocaleSpace (text[i]))
            ++i;

        bool negative = false;
        if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        {
            negative = text[i] == '-';
            ++i;
        }

        if (i >= text.size() || text[i] < '0' || text[i] > '9')
            return LeadingInt::noDigits;

        // Accumulate the magnitude; once it passes 2^31 it can only be out of range, but every
        // digit is still consumed, as the conversion does.
        constexpr int64_t limit = int64_t { 1 } << 31;
        int64_t magnitude = 0;
        bool overflow = false;
        for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        {
            if (! overflow)
            {
                magnitude = magnitude * 10 + (text[i] - '0');
                overflow = magnitude > limit;
            }
        }

        if (overflow || (! negative && magnitude == limit))
            return LeadingInt::outOfRange;

        value = static_cast<int32_t> (negative ? -magnitude : magnitude);
        return LeadingInt::ok;
    }
} // namespace

std::optional<int32_t> readLeadingInt32 (std::string_view text)
{
    int32_t value = 0;
    if (parse (text, value) != LeadingInt::ok)
        return std::nullopt;
    return value;
}

int32_t convertStoi (std::string_view text)
{
    int32_t value = 0;
    switch (parse (text, value))
    {
        case LeadingInt::ok: return value;
        case LeadingInt::noDigits: throw std::invalid_argument ("invalid stoi argument");
        case LeadingInt::outOfRange: break;
    }
    throw std::out_of_range ("stoi argument out of range");
}
} // namespace quorvelle::core
