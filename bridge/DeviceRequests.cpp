#include "bridge/DeviceRequests.h"

#include <cmath>

namespace quorvelle
{
namespace
{
std::optional<double> finiteNumber (const juce::var& value)
{
    if (! (value.isInt() || value.isInt64() || value.isDouble()))
        return std::nullopt;
    const auto number = (double) value;
    if (! std::isfinite (number))
        return std::nullopt;
    return number;
}
} // namespace

std::optional<double> readRequestedSampleRate (const juce::var& value)
{
    const auto rate = finiteNumber (value);
    if (! rate.has_value() || ! (*rate > 0.0 && *rate <= 768000.0))
        return std::nullopt;
    return rate;
}

std::optional<int> readRequestedBufferSize (const juce::var& value)
{
    const auto number = finiteNumber (value);
    if (! number.has_value())
        return std::nullopt;
    const auto size = std::trunc (*number);
    if (! (size >= 1.0 && size <= 65536.0))
        return std::nullopt;
    return (int) size;
}
} // namespace quorvelle
