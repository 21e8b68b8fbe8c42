#include "core/Loudness.h"

#include <algorithm>
#include <cmath>

namespace quorvelle::core
{
namespace
{
    // BS.1770 pre-filter, derived for any rate from the 48 kHz design values.
    constexpr double kShelfPiF0 = 5284.078578647624; // pi x 1681.974450955533 Hz
    constexpr double kShelfGainExponent = 0.19999219269866736; // 3.999843853973347 dB / 20
    constexpr double kShelfQ = 0.7071752369554196;
    constexpr double kShelfVbExponent = 0.4996667741545416;
    constexpr double kPassPiF0 = 119.8061151453059; // pi x 38.13547087602444 Hz
    constexpr double kPassQ = 0.5003270373238773;
} // namespace

void initLoudnessMeter (LoudnessMeter& meter, int32_t channels, double sampleRate)
{
    meter = LoudnessMeter {};
    meter.channels = channels < 2 ? 1 : channels;
    meter.sampleRate = (sampleRate > 0.0 && std::isfinite (sampleRate)) ? sampleRate : 48000.0;

    {
        const double k = std::tan (kShelfPiF0 / meter.sampleRate);
        const double vh = std::pow (10.0, kShelfGainExponent);
        const double vb = std::pow (vh, kShelfVbExponent);
        const double a0 = 1.0 + k / kShelfQ + k * k;
        meter.shelfB0 = (vh + vb * k / kShelfQ + k * k) / a0;
        meter.shelfB1 = 2.0 * (k * k - vh) / a0;
        meter.shelfB2 = (vh - vb * k / kShelfQ + k * k) / a0;
        meter.shelfA1 = 2.0 * (k * k - 1.0) / a0;
        meter.shelfA2 = (1.0 - k / kShelfQ + k * k) / a0;
    }
    {
        const double k = std::tan (kPassPiF0 / meter.sampleRate);
        const double a0 = 1.0 + k / kPassQ + k * k;
        meter.passA1 = 2.0 * (k * k - 1.0) / a0;
        meter.passA2 = (1.0 - k / kPassQ + k * k) / a0;
    }

    const auto channelCount = static_cast<std::size_t> (meter.channels);
    meter.shelfS1.assign (channelCount, 0.0);
    meter.shelfS2.assign (channelCount, 0.0);
    meter.passS1.assign (channelCount, 0.0);
    meter.passS2.assign (channelCount, 0.0);

    meter.blockLength = static_cast<std::size_t> (std::max (1L, std::lround (0.4 * meter.sampleRate)));
    meter.blockStep = static_cast<std::size_t> (std::max (1L, std::lround (0.1 * meter.sampleRate)));
    meter.ring.assign (meter.blockLength, 0.0);
}

void feedLoudnessMeter (LoudnessMeter& meter, const float* interleaved, std::size_t frames)
{
    if (interleaved == nullptr)
        return;

    const auto channelCount = static_cast<std::size_t> (meter.channels);
    for (std::size_t frame = 0; frame < frames; ++frame)
    {
        const float* in = interleaved + frame * channelCount;
        double energy = 0.0;
        for (std::size_t c = 0; c < channelCount; ++c)
        {
            const double x = in[c];
            const double y1 = meter.shelfB0 * x + meter.shelfS1[c];
            meter.shelfS1[c] = meter.shelfB1 * x - meter.shelfA1 * y1 + meter.shelfS2[c];
            meter.shelfS2[c] = meter.shelfB2 * x - meter.shelfA2 * y1;

            const double y2 = meter.passB0 * y1 + meter.passS1[c];
            meter.passS1[c] = meter.passB1 * y1 - meter.passA1 * y2 + meter.passS2[c];
            meter.passS2[c] = meter.passB2 * y1 - meter.passA2 * y2;

            energy += y2 * y2;
        }

        meter.ringTotal = meter.ringTotal - meter.ring[meter.ringIndex] + energy;
        meter.ring[meter.ringIndex] = energy;
        meter.ringIndex = (meter.ringIndex + 1) % meter.blockLength;
        ++meter.framesFed;

        if (meter.framesFed >= meter.blockLength && (meter.framesFed - meter.blockLength) % meter.blockStep == 0)
            meter.blocks.push_back (meter.ringTotal / static_cast<double> (meter.blockLength));
    }
}

void releaseLoudnessMeter (LoudnessMeter& meter)
{
    meter = LoudnessMeter {};
}

std::optional<double> measureIntegratedLoudness (const float* interleaved, std::size_t frames, int32_t channels,
                                                 double sampleRate)
{
    LoudnessMeter meter;
    initLoudnessMeter (meter, channels, sampleRate);
    feedLoudnessMeter (meter, interleaved, frames);
    const auto blocks = std::move (meter.blocks);
    releaseLoudnessMeter (meter);

    if (blocks.empty())
        return std::nullopt;

    const double kAbsoluteGate = std::pow (10.0, -6.9309); // the mean square of -70 LUFS
    double sum = 0.0;
    std::size_t passed = 0;
    for (const double b : blocks)
        if (b >= kAbsoluteGate)
        {
            sum += b;
            ++passed;
        }
    if (passed == 0)
        return std::nullopt;

    const double relativeGate = (sum / static_cast<double> (passed)) / 10.0;
    double gatedSum = 0.0;
    std::size_t gated = 0;
    for (const double b : blocks)
        if (b >= kAbsoluteGate && b >= relativeGate)
        {
            gatedSum += b;
            ++gated;
        }
    if (gated == 0)
        return std::nullopt;

    return 10.0 * std::log10 (gatedSum / static_cast<double> (gated)) - 0.691;
}
} // namespace quorvelle::core
