#include "core/Fingerprint.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>
#include <random>
#include <vector>

using namespace quorvelle::core;

namespace
{
std::vector<float> sine (double frequency, double rate, std::size_t count, float amplitude = 0.5f)
{
    std::vector<float> out (count);
    for (std::size_t i = 0; i < count; ++i)
        out[i] = amplitude * static_cast<float> (std::sin (2.0 * std::numbers::pi * frequency * static_cast<double> (i) / rate));
    return out;
}

std::vector<std::pair<int32_t, int32_t>> framesAndBins (const std::vector<SpectralPeak>& peaks)
{
    std::vector<std::pair<int32_t, int32_t>> out;
    for (const auto& p : peaks)
        out.emplace_back (p.frame, p.bin);
    return out;
}
} // namespace

TEST (Fingerprint, HashLayoutPacksAnchorTargetAndDelta)
{
    EXPECT_EQ (makeFingerprintHash (100, 200, 3), (100u << 17) | (200u << 8) | 3u);
    EXPECT_EQ (makeFingerprintHash (510, 510, 43), (510u << 17) | (510u << 8) | 43u);
    // Bins keep 9 bits, the delta 8; nothing reaches bits 26 to 31.
    EXPECT_EQ (makeFingerprintHash (0x3FF, 0x3FF, 0x1FF), 0x3FFFFFFu);
    EXPECT_EQ (makeFingerprintHash (512 + 7, 0, 256 + 5), (7u << 17) | 5u);
}

TEST (Fingerprint, SuppressionDropsOnlyStrictlyWeakerNeighbours)
{
    struct Case
    {
        const char* what;
        std::vector<SpectralPeak> peaks;
        std::vector<std::pair<int32_t, int32_t>> survivors;
    };
    const std::vector<Case> cases {
        { "equal strengths 3 frames and 5 bins apart both stay", { { 10, 100, 5.0f }, { 13, 105, 5.0f } }, { { 10, 100 }, { 13, 105 } } },
        { "weaker within 4 frames and 7 bins goes", { { 10, 100, 4.0f }, { 14, 107, 5.0f } }, { { 14, 107 } } },
        { "5 frames apart is out of reach", { { 10, 100, 4.0f }, { 15, 100, 5.0f } }, { { 10, 100 }, { 15, 100 } } },
        { "8 bins apart is out of reach", { { 10, 100, 4.0f }, { 10, 108, 5.0f } }, { { 10, 100 }, { 10, 108 } } },
        { "a dropped peak still suppresses",
          { { 10, 100, 3.0f }, { 12, 104, 4.0f }, { 14, 108, 5.0f } },
          { { 14, 108 } } },
        { "earlier stronger peak suppresses a later one", { { 6, 50, 9.0f }, { 10, 44, 2.0f } }, { { 6, 50 } } },
    };
    for (const auto& c : cases)
        EXPECT_EQ (framesAndBins (suppressWeakerNeighbours (c.peaks)), c.survivors) << c.what;
}

TEST (Fingerprint, BandCutKeepsStrongestThenReordersByFrameAndBin)
{
    // Ten peaks in band 0 (frames 0-21) with distinct strengths, and two in band 1.
    std::vector<SpectralPeak> peaks;
    const float strengths[10] = { 1, 9, 2, 8, 3, 7, 4, 6, 5, 10 };
    for (int i = 0; i < 10; ++i)
        peaks.push_back ({ 2 * i, 20 + i, strengths[i] });
    peaks.push_back ({ 22, 40, 0.5f });
    peaks.push_back ({ 43, 30, 0.1f });

    const auto selected = selectBandPeaks (peaks, 6);
    const std::vector<std::pair<int32_t, int32_t>> expected { { 2, 21 },  { 6, 23 },  { 10, 25 }, { 14, 27 },
                                                              { 16, 28 }, { 18, 29 }, { 22, 40 }, { 43, 30 } };
    EXPECT_EQ (framesAndBins (selected), expected);

    EXPECT_TRUE (selectBandPeaks (peaks, 0).empty());
    EXPECT_TRUE (selectBandPeaks (peaks, -3).empty());
    EXPECT_EQ (selectBandPeaks (peaks, 10).size(), peaks.size());
}

TEST (Fingerprint, PairingHonoursDeltaBoundsAndFanOut)
{
    const FingerprintParams params { 6, 3, 3, 43 };
    // Anchor at frame 0; a target 2 frames on is passed over, 3 and 43 pair, 44 ends the walk.
    const std::vector<SpectralPeak> peaks { { 0, 100, 1 }, { 2, 101, 1 }, { 3, 102, 1 }, { 43, 103, 1 }, { 44, 104, 1 }, { 45, 105, 1 } };
    const auto hashes = pairPeaks (peaks, params);

    std::vector<uint32_t> fromFirstAnchor;
    for (const auto& h : hashes)
        if (h.time == 0.0f)
            fromFirstAnchor.push_back (h.hash);
    EXPECT_EQ (fromFirstAnchor, (std::vector<uint32_t> { makeFingerprintHash (100, 102, 3), makeFingerprintHash (100, 103, 43) }));

    // Five valid targets, fanOut 3: the first three in list order.
    const std::vector<SpectralPeak> many { { 100, 10, 1 }, { 103, 11, 1 }, { 104, 12, 1 }, { 105, 13, 1 }, { 106, 14, 1 }, { 107, 15, 1 } };
    const auto limited = pairPeaks (many, params);
    ASSERT_GE (limited.size(), 3u);
    EXPECT_EQ (limited[0].hash, makeFingerprintHash (10, 11, 3));
    EXPECT_EQ (limited[1].hash, makeFingerprintHash (10, 12, 4));
    EXPECT_EQ (limited[2].hash, makeFingerprintHash (10, 13, 5));
    EXPECT_EQ (limited[3].time, static_cast<float> (103) * kFingerprintFrameSeconds) << "next anchor starts after three";

    EXPECT_TRUE (pairPeaks (many, { 6, 0, 3, 43 }).empty());
}

TEST (Fingerprint, AnchorTimeIsFrameTimesFloatStep)
{
    for (const int32_t frame : { 0, 1, 22, 1000, 25800 })
    {
        const auto hashes = pairPeaks ({ { frame, 50, 1 }, { frame + 5, 60, 1 } }, {});
        ASSERT_EQ (hashes.size(), 1u);
        EXPECT_EQ (hashes[0].time, static_cast<float> (frame) * 0.04643991f);
    }
}

TEST (Fingerprint, FftMatchesDoublePrecisionDft)
{
    constexpr std::size_t n = 1024;
    std::mt19937 rng (7);
    std::uniform_real_distribution<float> dist (-1.0f, 1.0f);
    std::vector<float> re (n), im (n, 0.0f);
    for (auto& v : re)
        v = dist (rng);
    const auto input = re;

    fftInPlace (re.data(), im.data(), n);

    double maxPower = 0.0;
    std::vector<double> reference (n);
    for (std::size_t k = 0; k < n; ++k)
    {
        std::complex<double> sum;
        for (std::size_t t = 0; t < n; ++t)
            sum += static_cast<double> (input[t]) * std::polar (1.0, -2.0 * std::numbers::pi * static_cast<double> (k * t % n) / n);
        reference[k] = std::norm (sum);
        maxPower = std::max (maxPower, reference[k]);
    }
    for (std::size_t k = 0; k < n; ++k)
    {
        const double power = static_cast<double> (re[k]) * re[k] + static_cast<double> (im[k]) * im[k];
        EXPECT_NEAR (power, reference[k], 1e-4 * maxPower) << "bin " << k;
    }
}

TEST (Fingerprint, ResampleLengthsAndInterpolation)
{
    std::vector<float> samples (480000, 0.25f);
    EXPECT_EQ (resampleTo11025 (samples.data(), 441000, 44100.0).size(), 110250u);
    EXPECT_EQ (resampleTo11025 (samples.data(), 480000, 48000.0).size(), 110249u);
    EXPECT_EQ (resampleTo11025 (samples.data(), 1000, 11025.0).size(), 1000u);
    EXPECT_TRUE (resampleTo11025 (samples.data(), 1000, 0.0).empty());
    EXPECT_TRUE (resampleTo11025 (samples.data(), 0, 44100.0).empty());

    // A ramp at 22050 Hz: every output sample is input sample 2i; at 14700 Hz the fractions
    // 1/3 and 2/3 interpolate linearly.
    std::vector<float> ramp (100);
    for (std::size_t i = 0; i < ramp.size(); ++i)
        ramp[i] = static_cast<float> (i);
    const auto half = resampleTo11025 (ramp.data(), ramp.size(), 22050.0);
    ASSERT_EQ (half.size(), 50u);
    for (std::size_t i = 0; i < half.size(); ++i)
        EXPECT_FLOAT_EQ (half[i], static_cast<float> (2 * i));
    const auto third = resampleTo11025 (ramp.data(), ramp.size(), 14700.0);
    ASSERT_EQ (third.size(), 75u);
    EXPECT_NEAR (third[1], 4.0f / 3.0f, 1e-5f);
    EXPECT_NEAR (third[2], 8.0f / 3.0f, 1e-5f);
}

TEST (Fingerprint, ShortSilentAndSingleFrameInputsGiveNoHashes)
{
    // Under 1024 samples after resampling: duration only.
    const auto shortTone = sine (1000.0, 44100.0, 4000);
    const auto shortPrint = computeAudioFingerprint (shortTone.data(), shortTone.size(), 44100.0, {});
    EXPECT_TRUE (shortPrint.hashes.empty());
    EXPECT_DOUBLE_EQ (shortPrint.duration, 4000.0 / 44100.0);

    // Exactly 1024 samples at 11025 Hz: one frame, so no pair can reach 3 frames.
    const auto oneFrame = sine (1000.0, 11025.0, 1024);
    const auto oneFramePeaks = findCandidatePeaks (oneFrame.data(), oneFrame.size());
    ASSERT_FALSE (oneFramePeaks.empty());
    for (const auto& p : oneFramePeaks)
        EXPECT_EQ (p.frame, 0);
    EXPECT_TRUE (computeAudioFingerprint (oneFrame.data(), oneFrame.size(), 11025.0, {}).hashes.empty());

    const std::vector<float> silence (44100 * 5, 0.0f);
    EXPECT_TRUE (findCandidatePeaks (silence.data(), silence.size()).empty());
    const auto silentPrint = computeAudioFingerprint (silence.data(), silence.size(), 44100.0, {});
    EXPECT_TRUE (silentPrint.hashes.empty());
    EXPECT_DOUBLE_EQ (silentPrint.duration, 5.0);

    const auto none = computeAudioFingerprint (silence.data(), 0, 44100.0, {});
    EXPECT_TRUE (none.hashes.empty());
    EXPECT_EQ (none.duration, 0.0);
    EXPECT_EQ (computeAudioFingerprint (silence.data(), silence.size(), -1.0, {}).duration, 0.0);
}

TEST (Fingerprint, OneBandOfLeadInShiftsEveryLandmarkBy22Frames)
{
    // Noise with a short silent lead-in, and the same after 22 more frames of silence: the
    // silent frames give no peaks and the bands stay aligned, so the hashes are the same and
    // every time moves by 22 frames.
    std::mt19937 rng (11);
    std::uniform_real_distribution<float> dist (-0.5f, 0.5f);
    std::vector<float> original (1024, 0.0f);
    for (int i = 0; i < 11025 * 6; ++i)
        original.push_back (dist (rng));
    std::vector<float> shifted (22 * 512, 0.0f);
    shifted.insert (shifted.end(), original.begin(), original.end());

    const auto a = computeAudioFingerprint (original.data(), original.size(), 11025.0, {});
    const auto b = computeAudioFingerprint (shifted.data(), shifted.size(), 11025.0, {});
    ASSERT_GT (a.hashes.size(), 100u);
    ASSERT_EQ (a.hashes.size(), b.hashes.size());
    for (std::size_t i = 0; i < a.hashes.size(); ++i)
    {
        EXPECT_EQ (a.hashes[i].hash, b.hashes[i].hash) << i;
        const auto frame = static_cast<int32_t> (std::lround (a.hashes[i].time / kFingerprintFrameSeconds));
        EXPECT_EQ (b.hashes[i].time, static_cast<float> (frame + 22) * kFingerprintFrameSeconds) << i;
        EXPECT_EQ (a.hashes[i].hash >> 26, 0u);
        const auto delta = a.hashes[i].hash & 0xFFu;
        EXPECT_TRUE (delta >= 3 && delta <= 43) << delta;
    }
}
