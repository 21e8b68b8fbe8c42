#pragma once

#include <juce_audio_basics/juce_audio_basics.h>
#include <juce_core/juce_core.h>

namespace quorvelle::test
{
// Audio fixtures are made by code, never committed as binaries.
juce::AudioBuffer<float> makeSine (int channels, int samples, double sampleRate, double frequency, float amplitude);
// A click of `clickSamples` full-scale samples every `period` samples, silence between.
juce::AudioBuffer<float> makeClickTrain (int channels, int samples, int period, int clickSamples = 1, float amplitude = 1.0f);
// Uniform white noise in [-amplitude, amplitude], reproducible from `seed`.
juce::AudioBuffer<float> makeNoise (int channels, int samples, float amplitude, juce::int64 seed = 1);
juce::AudioBuffer<float> makeSilence (int channels, int samples);

// Frequency of `channel` over [from, from + n) from its rising zero crossings (interpolated); 0
// with fewer than two crossings.
double measureFrequency (const juce::AudioBuffer<float>& buffer, int from, int n, double sampleRate, int channel = 0);

enum class FixtureFormat { wav16, wav24, flac16, flac24 };

// Writes the buffer to `file` (replacing it). Returns false when the writer could not be made.
bool writeAudioFile (const juce::File& file, const juce::AudioBuffer<float>& buffer, double sampleRate, FixtureFormat format);

// Reads a whole file back (any registered format); empty buffer and rate 0 when it cannot be read.
juce::AudioBuffer<float> readAudioFile (const juce::File& file, double* sampleRateOut = nullptr);
} // namespace quorvelle::test
