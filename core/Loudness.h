#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace quorvelle::core
{
// Working state of one integrated-loudness measurement (K-weighting, 400 ms blocks every 100 ms).
struct LoudnessMeter
{
    int32_t channels = 1;
    double sampleRate = 48000.0;

    // Stage 1 (high shelf) and stage 2 (high pass), normalised so that a0 = 1.
    double shelfB0 = 0.0, shelfB1 = 0.0, shelfB2 = 0.0, shelfA1 = 0.0, shelfA2 = 0.0;
    double passB0 = 1.0, passB1 = -2.0, passB2 = 1.0, passA1 = 0.0, passA2 = 0.0;

    // Transposed direct form II states, two per stage and channel.
    std::vector<double> shelfS1, shelfS2, passS1, passS2;

    std::size_t blockLength = 1;
    std::size_t blockStep = 1;

    std::vector<double> ring; // per-frame energies of the last blockLength frames
    std::size_t ringIndex = 0;
    double ringTotal = 0.0;
    uint64_t framesFed = 0;

    std::vector<double> blocks; // mean square of each finished block, in time order
};

// Channel counts below 2 become 1; a rate that is not a positive finite number becomes 48000.
void initLoudnessMeter (LoudnessMeter& meter, int32_t channels, double sampleRate);
// Interleaved frames of meter.channels samples each.
void feedLoudnessMeter (LoudnessMeter& meter, const float* interleaved, std::size_t frames);
void releaseLoudnessMeter (LoudnessMeter& meter);

// Integrated loudness in LUFS after ITU-R BS.1770 (absolute gate -70 LUFS, relative gate -10 LU);
// none when no block passes the gates. Channel energies add with weight 1.0.
std::optional<double> measureIntegratedLoudness (const float* interleaved, std::size_t frames, int32_t channels,
                                                 double sampleRate);
} // namespace quorvelle::core
