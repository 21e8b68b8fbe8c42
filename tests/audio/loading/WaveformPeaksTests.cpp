// The waveform overview: buckets over the longest stem, the mix at the stems' gains, the
// normalisation, silence, and the empty answers.
#include "audio/loading/WaveformPeaks.h"

#include "tests/support/AudioFixtures.h"

#include <gtest/gtest.h>

namespace quorvelle::test
{
namespace
{
// A reader over `audio` held in memory as a 32-bit float WAV file.
WaveformPeakSource source (const juce::AudioBuffer<float>& audio, float gain = 1.0f)
{
    juce::MemoryBlock bytes;
    {
        juce::WavAudioFormat wav;
        std::unique_ptr<juce::AudioFormatWriter> writer (
            wav.createWriterFor (new juce::MemoryOutputStream (bytes, false), 48000.0, (unsigned) audio.getNumChannels(), 32, {}, 0));
        EXPECT_NE (writer, nullptr);
        writer->writeFromAudioSampleBuffer (audio, 0, audio.getNumSamples());
    }
    juce::WavAudioFormat wav;
    return { std::unique_ptr<juce::AudioFormatReader> (wav.createReaderFor (new juce::MemoryInputStream (bytes, true), true)), gain };
}

// `silent` samples of silence, then a full-scale square of period 10 up to `total` samples.
juce::AudioBuffer<float> silenceThenSquare (int channels, int silent, int total)
{
    juce::AudioBuffer<float> audio (channels, total);
    audio.clear();
    for (int c = 0; c < channels; ++c)
        for (int i = silent; i < total; ++i)
            audio.setSample (c, i, (i / 5) % 2 == 0 ? 1.0f : -1.0f);
    return audio;
}
} // namespace

TEST (WaveformPeaks, BucketsAreNormalisedToTheLoudestAndSilenceGivesTheFloor)
{
    {
        std::vector<WaveformPeakSource> sources;
        sources.push_back (source (makeSilence (2, 4000)));
        const auto result = computeWaveformPeaks (sources, 8);
        EXPECT_EQ (result.peaks, std::vector<float> (8, 0.04f));
        EXPECT_EQ (result.peaksMin, std::vector<float> (8, 0.0f));
        EXPECT_EQ (result.peaksMax, std::vector<float> (8, 0.0f));
    }
    for (const int channels : { 1, 2 })
    {
        SCOPED_TRACE (channels);
        // Buckets of 30 samples: every point is examined.
        std::vector<WaveformPeakSource> sources;
        sources.push_back (source (silenceThenSquare (channels, 120, 240)));
        const auto result = computeWaveformPeaks (sources, 8);
        EXPECT_EQ (result.peaks, (std::vector<float> { 0, 0, 0, 0, 1, 1, 1, 1 }));
        EXPECT_EQ (result.peaksMin, (std::vector<float> { 0, 0, 0, 0, -1, -1, -1, -1 }));
        EXPECT_EQ (result.peaksMax, (std::vector<float> { 0, 0, 0, 0, 1, 1, 1, 1 }));
    }
}

TEST (WaveformPeaks, AMutedStemSetsTheLengthAndAShortStemFillsOnlyItsBuckets)
{
    std::vector<WaveformPeakSource> sources;
    sources.push_back (source (makeNoise (2, 2400, 1.0f), waveformPeakGain (-100.0)));
    sources.push_back (source (makeSine (1, 1200, 48000.0, 440.0, 0.5f), waveformPeakGain (-6.0)));
    const auto result = computeWaveformPeaks (sources, 8);
    ASSERT_EQ (result.peaks.size(), 8u);
    for (int b = 0; b < 4; ++b)
        EXPECT_GT (result.peaks[(size_t) b], 0.5f) << b;
    for (int b = 4; b < 8; ++b)
    {
        EXPECT_EQ (result.peaks[(size_t) b], 0.0f) << b;
        EXPECT_EQ (result.peaksMax[(size_t) b], 0.0f) << b;
    }
    EXPECT_FLOAT_EQ (*std::max_element (result.peaks.begin(), result.peaks.end()), 1.0f);
}

TEST (WaveformPeaks, NothingToMeasureOrAStopGivesTheEmptyResult)
{
    std::vector<WaveformPeakSource> none;
    EXPECT_TRUE (computeWaveformPeaks (none, 8).peaks.empty());

    std::vector<WaveformPeakSource> sources;
    sources.push_back (source (makeSine (2, 4800, 48000.0, 440.0, 0.5f)));
    EXPECT_TRUE (computeWaveformPeaks (sources, 0).peaks.empty());
    int buckets = 0;
    const auto stopped = computeWaveformPeaks (sources, 8, [&] { return ++buckets > 3; });
    EXPECT_TRUE (stopped.peaks.empty() && stopped.peaksMin.empty() && stopped.peaksMax.empty());
    EXPECT_EQ (computeWaveformPeaks (sources, 8).peaks.size(), 8u);
}
} // namespace quorvelle::test
