#pragma once

// Asset folders of generated click and cue samples for the metronome, count-in and cue tests, and
// the onset finder the rendered-sample assertions use.

#include "tests/support/AudioFixtures.h"
#include "tests/support/TempFolder.h"

#include <juce_audio_formats/juce_audio_formats.h>

#include <cmath>
#include <span>
#include <utility>
#include <vector>

namespace quorvelle::test
{
// A short decaying tone whose first sample is `amplitude` (so its onset is exact) and which never
// holds 8 zero samples in a row.
inline juce::AudioBuffer<float> makeKeyTone (int channels, int length, double rate, double frequency, float amplitude)
{
    juce::AudioBuffer<float> tone (channels, length);
    for (int i = 0; i < length; ++i)
    {
        const auto envelope = 1.0 - 0.5 * (double) i / length;
        auto value = (float) (amplitude * envelope * std::cos (2.0 * juce::MathConstants<double>::pi * frequency * i / rate));
        if (std::abs (value) < 0.01f)
            value = value < 0.0f ? -0.01f : 0.01f;
        for (int c = 0; c < channels; ++c)
            tone.setSample (c, i, value);
    }
    return tone;
}

// The key whose tone (in a table of keys and tone amplitudes) starts with `value`, or "?".
inline juce::String keyOfAmplitude (std::span<const std::pair<const char*, float>> keys, float value)
{
    for (const auto& [key, amplitude] : keys)
        if (std::abs (value - amplitude) < 0.002f)
            return key;
    return "?";
}

// "public/clicks" and "public/cues" under a fresh temporary folder.
struct AssetFolders
{
    TempFolder temp;
    juce::File root = temp / "public";
    juce::File clicks = root.getChildFile ("clicks");
    juce::File cues = root.getChildFile ("cues");

    AssetFolders()
    {
        clicks.createDirectory();
        cues.createDirectory();
    }

    // Writes `name` (with extension) in the folder as a 24-bit WAV tone.
    static bool writeTone (const juce::File& folder, const juce::String& fileName, double rate, int length, float amplitude,
                           int channels = 1, double frequency = 997.0)
    {
        return writeAudioFile (folder.getChildFile (fileName), makeKeyTone (channels, length, rate, frequency, amplitude), rate,
                               FixtureFormat::wav24);
    }
};

struct Onset
{
    int sample = 0;
    float value = 0.0f; // the first sample of the sound
};

// Every sample that is not zero after at least `gap` zero samples (or at the start).
inline std::vector<Onset> findOnsets (const float* data, int length, int gap = 8)
{
    std::vector<Onset> onsets;
    int zeros = gap;
    for (int i = 0; i < length; ++i)
    {
        if (data[i] == 0.0f)
        {
            ++zeros;
            continue;
        }
        if (zeros >= gap)
            onsets.push_back ({ i, data[i] });
        zeros = 0;
    }
    return onsets;
}

inline std::vector<Onset> findOnsets (const juce::AudioBuffer<float>& buffer, int channel = 0, int gap = 8)
{
    return findOnsets (buffer.getReadPointer (channel), buffer.getNumSamples(), gap);
}
} // namespace quorvelle::test
