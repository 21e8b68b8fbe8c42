#include "core/Loudness.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

using namespace quorvelle::core;

namespace
{
// Interleaved sine of `seconds` at `dbfs` peak level in every channel.
void appendSine (std::vector<float>& out, int channels, double rate, double frequency, double dbfs, double seconds)
{
    const auto frames = static_cast<std::size_t> (seconds * rate);
    const double amplitude = std::pow (10.0, dbfs / 20.0);
    const std::size_t start = out.size() / static_cast<std::size_t> (channels);
    for (std::size_t i = 0; i < frames; ++i)
    {
        const auto v = static_cast<float> (amplitude * std::sin (2.0 * std::numbers::pi * frequency * static_cast<double> (start + i) / rate));
        for (int c = 0; c < channels; ++c)
            out.push_back (v);
    }
}

std::optional<double> measure (const std::vector<float>& interleaved, int channels, double rate)
{
    return measureIntegratedLoudness (interleaved.data(), interleaved.size() / static_cast<std::size_t> (channels), channels, rate);
}
} // namespace

TEST (Loudness, FullScale997HzSineAt48kHzIsMinus3Point01)
{
    std::vector<float> mono;
    appendSine (mono, 1, 48000.0, 997.0, 0.0, 5.0);
    const auto lufs = measure (mono, 1, 48000.0);
    ASSERT_TRUE (lufs.has_value());
    EXPECT_NEAR (*lufs, -3.01, 0.005);
}

TEST (Loudness, TwoIdenticalChannelsAdd3Point0103Decibels)
{
    std::vector<float> mono, stereo;
    appendSine (mono, 1, 48000.0, 997.0, -12.0, 4.0);
    appendSine (stereo, 2, 48000.0, 997.0, -12.0, 4.0);
    const auto one = measure (mono, 1, 48000.0);
    const auto two = measure (stereo, 2, 48000.0);
    ASSERT_TRUE (one && two);
    EXPECT_NEAR (*two - *one, 3.0103, 0.005);
}

TEST (Loudness, BlocksOf400MsEvery100MsAt44100)
{
    LoudnessMeter meter;
    initLoudnessMeter (meter, 1, 44100.0);
    EXPECT_EQ (meter.blockLength, 17640u);
    EXPECT_EQ (meter.blockStep, 4410u);

    std::vector<float> second;
    appendSine (second, 1, 44100.0, 1000.0, -20.0, 1.0);
    feedLoudnessMeter (meter, second.data(), 44100);
    EXPECT_EQ (meter.blocks.size(), 7u);

    // Feeding in pieces gives the same blocks.
    LoudnessMeter pieces;
    initLoudnessMeter (pieces, 1, 44100.0);
    for (std::size_t offset = 0; offset < 44100; offset += 1000)
        feedLoudnessMeter (pieces, second.data() + offset, std::min<std::size_t> (1000, 44100 - offset));
    EXPECT_EQ (pieces.blocks, meter.blocks);
}

TEST (Loudness, SinesReadTheSameAtAnyRate)
{
    for (const double rate : { 32000.0, 44100.0, 48000.0, 88200.0, 96000.0, 192000.0 })
        for (const double frequency : { 997.0, 1000.0 })
            for (const double level : { 0.0, -20.0 })
            {
                std::vector<float> mono;
                appendSine (mono, 1, rate, frequency, level, 3.0);
                const auto lufs = measure (mono, 1, rate);
                ASSERT_TRUE (lufs.has_value());
                EXPECT_NEAR (*lufs, level - 3.01, 0.1) << rate << " Hz, " << frequency << " Hz tone, " << level << " dBFS";
            }
}

TEST (Loudness, GatedSequencesMeasureTheLoudPart)
{
    // Stereo 1 kHz sequences (level dBFS, seconds): the quiet parts fall under the relative or
    // absolute gate, so each reads -23 LUFS.
    struct Case
    {
        const char* what;
        std::vector<std::pair<double, double>> parts;
    };
    const std::vector<Case> cases {
        { "-36/-23/-36", { { -36, 10 }, { -23, 60 }, { -36, 10 } } },
        { "-72/-36/-23/-36/-72", { { -72, 10 }, { -36, 10 }, { -23, 60 }, { -36, 10 }, { -72, 10 } } },
        { "-26/-20/-26", { { -26, 20 }, { -20, 20.1 }, { -26, 20 } } },
    };
    for (const double rate : { 44100.0, 48000.0 })
        for (const auto& c : cases)
        {
            std::vector<float> stereo;
            for (const auto& [level, seconds] : c.parts)
                appendSine (stereo, 2, rate, 1000.0, level, seconds);
            const auto lufs = measure (stereo, 2, rate);
            ASSERT_TRUE (lufs.has_value()) << c.what;
            EXPECT_NEAR (*lufs, -23.0, 0.1) << c.what << " at " << rate;
        }
}

TEST (Loudness, NothingPassesTheGates)
{
    std::vector<float> tooShort;
    appendSine (tooShort, 1, 48000.0, 1000.0, 0.0, 0.39);
    EXPECT_FALSE (measure (tooShort, 1, 48000.0).has_value());

    const std::vector<float> silence (48000 * 3, 0.0f);
    EXPECT_FALSE (measure (silence, 1, 48000.0).has_value());

    // -80 LUFS throughout.
    std::vector<float> quiet;
    appendSine (quiet, 1, 48000.0, 1000.0, -77.0, 3.0);
    EXPECT_FALSE (measure (quiet, 1, 48000.0).has_value());

    EXPECT_FALSE (measureIntegratedLoudness (nullptr, 0, 1, 48000.0).has_value());
}

TEST (Loudness, DegenerateRatesAndChannelsFallBack)
{
    std::vector<float> mono;
    appendSine (mono, 1, 48000.0, 997.0, -10.0, 2.0);
    const auto at48k = measure (mono, 1, 48000.0);
    ASSERT_TRUE (at48k.has_value());
    for (const double rate : { 0.0, -44100.0, std::nan (""), static_cast<double> (INFINITY) })
    {
        const auto lufs = measureIntegratedLoudness (mono.data(), mono.size(), 1, rate);
        ASSERT_TRUE (lufs.has_value()) << rate;
        EXPECT_EQ (*lufs, *at48k) << rate;
    }
    for (const int32_t channels : { 0, -3 })
        EXPECT_EQ (measureIntegratedLoudness (mono.data(), mono.size(), channels, 48000.0), at48k) << channels;
}
