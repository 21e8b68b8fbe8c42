#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quorvelle::core
{
struct FingerprintParams
{
    int32_t peaksPerBand = 6;
    int32_t fanOut = 3;
    int32_t minDeltaFrames = 3;
    int32_t maxDeltaFrames = 43;
};

struct SpectralPeak
{
    int32_t frame = 0; // analysis frame index
    int32_t bin = 0; // 2 ... 510
    float strength = 0.0f; // natural log of the bin's power
};

struct FingerprintHash
{
    uint32_t hash = 0; // low 26 bits used
    float time = 0.0f; // seconds to the anchor frame
};

struct AudioFingerprint
{
    std::vector<FingerprintHash> hashes;
    double duration = 0.0;
};

// Analysis grid: 11025 Hz, frames of 1024 samples every 512.
inline constexpr double kFingerprintRate = 11025.0;
inline constexpr int kFingerprintFrameLength = 1024;
inline constexpr int kFingerprintHop = 512;
inline constexpr int kFingerprintFramesPerBand = 22;
// One frame step (512 / 11025 s) as a float.
inline constexpr float kFingerprintFrameSeconds = 0.04643991f;

// Landmark hashes of mono samples; duration = count / sampleRate of the input.
AudioFingerprint computeAudioFingerprint (const float* samples, std::size_t count, double sampleRate,
                                          const FingerprintParams& params);

// Linear interpolation to 11025 Hz, no low-pass; length = trunc(count / (rate / 11025)).
std::vector<float> resampleTo11025 (const float* samples, std::size_t count, double sampleRate);

// Unscaled forward radix-2 transform of n (a power of two) points, in place.
void fftInPlace (float* real, float* imag, std::size_t n);

// The stages of computeAudioFingerprint, in order.
// Windowed log-power spectra of 11025 Hz samples and their local maxima above mean + 2.
std::vector<SpectralPeak> findCandidatePeaks (const float* samples11025, std::size_t count);
// Drops every peak that has a strictly stronger peak within 4 frames and 7 bins; order kept.
std::vector<SpectralPeak> suppressWeakerNeighbours (const std::vector<SpectralPeak>& candidates);
// Keeps the strongest peaksPerBand of each band of 22 frames, ordered by frame, then bin.
std::vector<SpectralPeak> selectBandPeaks (const std::vector<SpectralPeak>& peaks, int32_t peaksPerBand);
// Anchor/target pairs within [minDeltaFrames, maxDeltaFrames], at most fanOut per anchor.
std::vector<FingerprintHash> pairPeaks (const std::vector<SpectralPeak>& peaks, const FingerprintParams& params);

// (anchorBin << 17) | (targetBin << 8) | delta, bins masked to 9 bits, delta to 8.
uint32_t makeFingerprintHash (int32_t anchorBin, int32_t targetBin, int32_t delta);
} // namespace quorvelle::core
