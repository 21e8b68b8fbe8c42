#include "GraphTestSources.h"

#include "audio/graph/StretchAudioSource.h"
#include "tests/support/AudioFixtures.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace quorvelle;
using namespace quorvelle::test;

namespace
{
// Plays a buffer as a positionable source (looping), so the stretch can be fed a tone.
struct BufferSource : juce::PositionableAudioSource
{
    juce::AudioBuffer<float> data;
    int64_t position = 0;
    explicit BufferSource (juce::AudioBuffer<float> d) : data (std::move (d)) {}
    void prepareToPlay (int, double) override {}
    void releaseResources() override {}
    void getNextAudioBlock (const juce::AudioSourceChannelInfo& info) override
    {
        for (int i = 0; i < info.numSamples; ++i)
        {
            const auto p = (int) ((position + i) % data.getNumSamples());
            for (int c = 0; c < info.buffer->getNumChannels(); ++c)
                info.buffer->setSample (c, info.startSample + i, data.getSample (juce::jmin (c, data.getNumChannels() - 1), p));
        }
        position += info.numSamples;
    }
    void setNextReadPosition (juce::int64 p) override { position = p; }
    juce::int64 getNextReadPosition() const override { return position; }
    juce::int64 getTotalLength() const override { return data.getNumSamples(); }
    bool isLooping() const override { return true; }
    void setLooping (bool) override {}
};
} // namespace

TEST (StretchAudioSource, PullsTheOutputTimesTheRateCarryingTheFraction)
{
    RampSource ramp;
    ramp.recordPulls = true;
    StretchAudioSource stretch (&ramp);
    stretch.prepareToPlay (512, 48000.0);
    stretch.rate = 1.1f;

    renderBlocks (stretch, 2, 512, 10);
    EXPECT_EQ (ramp.pulls, (std::vector<int> { 563, 563, 563, 563, 564, 563, 563, 563, 563, 564 }));
    EXPECT_EQ (ramp.position, 5632);
    EXPECT_EQ (stretch.getNextReadPosition(), 5120);

    // A seek moves the wrapped source to the position times the rate.
    stretch.rate = 1.25f;
    stretch.setNextReadPosition (1000);
    EXPECT_EQ (ramp.position, 1250);
    EXPECT_EQ (stretch.getNextReadPosition(), 1000);
    EXPECT_EQ (stretch.getTotalLength(), (juce::int64) (ramp.length / 1.25));

    // The pull never exceeds the input buffer sized at prepare.
    ramp.pulls.clear();
    stretch.rate = 100.0f;
    renderBlocks (stretch, 2, 512, 1);
    EXPECT_EQ (ramp.pulls, (std::vector<int> { stretch.inputCapacity() }));
    EXPECT_EQ (stretch.inputCapacity(), 8 * 512 + 8192);

    stretch.rate = 0.0f;
    EXPECT_EQ (stretch.getTotalLength(), 0);
}

TEST (StretchAudioSource, BypassPassesTheGroupThroughUnchanged)
{
    RampSource ramp;
    StretchAudioSource stretch (&ramp);
    stretch.prepareToPlay (256, 44100.0);
    stretch.bypass = true;
    stretch.rate = 1.5f;
    stretch.setNextReadPosition (300);
    EXPECT_EQ (ramp.position, 300);
    auto out = renderBlocks (stretch, 2, 256, 2);
    for (int i = 0; i < 512; ++i)
    {
        ASSERT_EQ (out.getSample (0, i), RampSource::valueAt (300 + i));
        ASSERT_EQ (out.getSample (1, i), -RampSource::valueAt (300 + i));
    }
    EXPECT_EQ (stretch.getTotalLength(), ramp.length);
    EXPECT_EQ (stretch.getNextReadPosition(), 812);
}

TEST (StretchAudioSource, SeekRestartsTheStretcherUnlessTheLoopSeekKeepsItsState)
{
    BufferSource tone (makeSine (2, 48000, 48000.0, 440.0, 0.5f));
    StretchAudioSource stretch (&tone);
    stretch.prepareToPlay (256, 48000.0);
    const int latency = stretch.getStretcher().inputLatency() + stretch.getStretcher().outputLatency();
    ASSERT_GT (latency, 256);
    renderBlocks (stretch, 2, 256, (latency / 256) + 40); // steady output

    auto levelAfterSeek = [&] (bool keep)
    {
        stretch.keepStateOnSeek = keep;
        stretch.setNextReadPosition (stretch.getNextReadPosition());
        EXPECT_FALSE (stretch.keepStateOnSeek.load()) << "one-shot";
        return renderBlocks (stretch, 2, 256, 1).getRMSLevel (0, 0, 256);
    };

    EXPECT_GT (levelAfterSeek (true), 0.3f);   // the stretcher keeps playing
    EXPECT_LT (levelAfterSeek (false), 0.01f); // restarted: its latency of silence first
}

TEST (StretchAudioSource, AnImpulseComesOutAfterTheLatencySetForTheSetting)
{
    // A click every 4800 input samples: the first comes out `latencySamples()` after its stretched
    // place, at the full range's latency and at the smaller ones settings need, applied from the
    // next block.
    juce::AudioBuffer<float> clicks (2, 48000);
    clicks.clear();
    for (int i = 2400; i < 48000; i += 4800)
        for (int c = 0; c < 2; ++c)
            clicks.setSample (c, i, 1.0f);
    BufferSource source (clicks);
    StretchAudioSource stretch (&source);
    stretch.prepareToPlay (256, 48000.0);

    for (const auto& [ratio, semitones] : { std::pair { -1.0, 0.0f }, std::pair { 1.0, 0.0f }, std::pair { 1.25, 6.0f }, std::pair { 0.8, -6.0f } })
    {
        SCOPED_TRACE (testing::Message() << "setting " << ratio << " / " << semitones);
        const int wanted = ratio < 0.0 ? -1 : stretch.latencyFor (ratio, semitones);
        stretch.setLatencySamples (wanted);
        const int latency = stretch.latencySamples();
        EXPECT_EQ (latency, wanted < 0 ? stretch.getStretcher().fullRangeLatency() : wanted);
        EXPECT_LE (latency, stretch.getStretcher().fullRangeLatency());

        stretch.rate = ratio < 0.0 ? 1.0f : (float) ratio;
        stretch.semitones = semitones;
        stretch.setNextReadPosition (0);
        const auto out = renderBlocks (stretch, 2, 256, 100);
        // The first click's onset: the first sample above half the peak.
        float peak = 0.0f;
        for (int i = 0; i < out.getNumSamples(); ++i)
            peak = std::max (peak, std::abs (out.getSample (0, i)));
        int onset = -1;
        for (int i = 0; i < out.getNumSamples() && onset < 0; ++i)
            if (std::abs (out.getSample (0, i)) >= 0.5f * peak)
                onset = i;
        EXPECT_GT (peak, 0.1f);
        EXPECT_NEAR (onset, 2400.0 / stretch.rate.load() + latency, 128);
    }
}

TEST (StretchAudioSource, TranspositionFollowsSemitonesAndSurvivesARateChange)
{
    // 441 whole cycles per 44100 samples: a seamless loop, 441 Hz at 44.1 kHz and 480 Hz at 48 kHz.
    BufferSource tone (makeSine (2, 44100, 44100.0, 441.0, 0.5f));
    StretchAudioSource stretch (&tone);
    stretch.prepareToPlay (512, 44100.0);
    stretch.semitones = 12.0f;
    auto out = renderBlocks (stretch, 2, 512, 200);
    EXPECT_NEAR (measureFrequency (out, 40000, 44100, 44100.0), 882.0, 5.0); // an octave up, not the 441 Hz source

    // A new device rate rebuilds the stretcher; the transposition stays applied.
    stretch.prepareToPlay (512, 48000.0);
    EXPECT_EQ (stretch.getConfiguredRate(), 48000.0);
    out = renderBlocks (stretch, 2, 512, 200);
    EXPECT_NEAR (measureFrequency (out, 40000, 48000, 48000.0), 960.0, 5.0); // still an octave above 480 Hz
}
