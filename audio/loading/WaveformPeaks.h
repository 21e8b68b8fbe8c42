// The waveform overview of a song: its stems mixed at their volumes, cut into equal buckets, with a
// loudness value and the signed minimum and maximum of the mono mix per bucket, normalised to the
// song's loudest bucket.
//
// Threads: any; one call owns its readers.
#pragma once

#include <juce_audio_formats/juce_audio_formats.h>

#include <functional>
#include <memory>
#include <vector>

namespace quorvelle
{
struct WaveformPeaks
{
    std::vector<float> peaks, peaksMin, peaksMax; // one entry each per bucket; all empty: nothing computed
};

struct WaveformPeakSource
{
    std::unique_ptr<juce::AudioFormatReader> reader;
    float gain = 1.0f;
};

// Linear gain of a stem's "volume" in dB, in single precision; 0 at -100 dB and below.
float waveformPeakGain (double volumeDb);

// Stems of these instrument types (the click and the spoken cues) are left out of the overview.
bool isExcludedFromWaveformPeaks (const juce::String& instrumentType);

// `numPeaks` buckets over the longest source (each source read bucket by bucket, at most two
// channels). A stop request (asked before every bucket), no source, or `numPeaks` < 1 give the empty
// result; silence gives 0.04 for every peak and 0 for every minimum and maximum.
WaveformPeaks computeWaveformPeaks (std::vector<WaveformPeakSource>& sources, int numPeaks, const std::function<bool()>& shouldStop = {});
} // namespace quorvelle
