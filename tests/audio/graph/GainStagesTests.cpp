#include "GraphTestSources.h"

#include "audio/graph/GainStages.h"
#include "tests/support/AudioFixtures.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>

using namespace quorvelle;
using namespace quorvelle::test;

namespace
{
// Renders `total` samples in blocks of `block` (cycled sizes) through the source, channel 0 only.
std::vector<float> render (juce::AudioSource& source, int total, std::vector<int> blocks, int channels = 2)
{
    std::vector<float> out;
    size_t which = 0;
    while ((int) out.size() < total)
    {
        const int n = std::min (blocks[which++ % blocks.size()], total - (int) out.size());
        juce::AudioBuffer<float> buffer (channels, n + 8);
        buffer.clear();
        source.getNextAudioBlock (juce::AudioSourceChannelInfo (&buffer, 8, n));
        for (int i = 0; i < n; ++i)
            out.push_back (buffer.getSample (0, 8 + i));
    }
    return out;
}

// A source of constant 1.0 that runs a hook at the start of each render.
struct HookSource : ConstantSource
{
    HookSource() : ConstantSource (1.0f, 1.0f) {}
    std::function<void()> hook;
    void getNextAudioBlock (const juce::AudioSourceChannelInfo& info) override
    {
        if (hook)
            hook();
        ConstantSource::getNextAudioBlock (info);
    }
};

float raisedCosine (float from, float to, float t)
{
    return from + (to - from) * (1.0f - std::cos (juce::MathConstants<float>::pi * t)) * 0.5f;
}
} // namespace

TEST (SmoothedGainAudioSource, LinearRampLandsExactlyOnItsTarget)
{
    ConstantSource one (1.0f, 1.0f);
    SmoothedGainAudioSource gain (&one);
    gain.prepareToPlay (512, 48000.0);
    gain.setGain (0.5f, 0.02f);

    const auto out = render (gain, 3000, { 100, 512, 7 });
    for (int i = 0; i < 959; ++i)
        ASSERT_NEAR (out[(size_t) i], 1.0f - 0.5f * (float) (i + 1) / 960.0f, 2.0e-5f) << i; // float accumulation
    EXPECT_EQ (out[959], 0.5f);
    for (size_t i = 959; i < out.size(); ++i)
        ASSERT_EQ (out[i], 0.5f) << i;
    // No step: every sample moves by one increment at most.
    for (int i = 1; i < 960; ++i)
        ASSERT_NEAR (out[(size_t) i - 1] - out[(size_t) i], 0.5f / 960.0f, 1.0e-5f) << i;
}

TEST (SmoothedGainAudioSource, RepeatsAreIgnoredAndANewTimeRestartsFromTheValueReached)
{
    ConstantSource one (1.0f, 1.0f);
    SmoothedGainAudioSource reference (&one), repeated (&one), retimed (&one);
    for (auto* stage : { &reference, &repeated, &retimed })
    {
        stage->prepareToPlay (256, 48000.0);
        stage->setGain (0.0f, 0.02f);
    }
    auto a = render (reference, 480, { 480 });
    auto b = render (repeated, 480, { 480 });
    auto c = render (retimed, 480, { 480 });

    repeated.setGain (0.00005f, 0.0205f); // same target within 1e-4, same time within 1 ms
    retimed.setGain (0.0f, 0.04f);
    a = render (reference, 2000, { 256 });
    b = render (repeated, 2000, { 256 });
    c = render (retimed, 2000, { 256 });
    EXPECT_EQ (a, b);

    // From 0.5 (the value reached after 480 of 960 steps) to 0 over 1920 new steps.
    EXPECT_NEAR (c[0], 0.5f - 0.5f / 1920.0f, 1.0e-5f);
    EXPECT_NEAR (c[959], 0.25f, 1.0e-4f);
    EXPECT_EQ (c[1919], 0.0f);
    EXPECT_EQ (a[479], 0.0f);
}

TEST (SmoothedGainAudioSource, BeforePrepareAtOnceAndMuteFlagSilences)
{
    ConstantSource one (1.0f, 1.0f);
    SmoothedGainAudioSource gain (&one);
    gain.setGain (0.25f, 1.0f); // not prepared: at once
    EXPECT_EQ (gain.getRamp().getCurrentValue(), 0.25f);
    gain.prepareToPlay (128, 44100.0);
    auto out = render (gain, 256, { 128 });
    EXPECT_EQ (out.front(), 0.25f);
    EXPECT_EQ (out.back(), 0.25f);

    std::atomic<bool> mute { true };
    gain.setMuteFlag (&mute);
    out = render (gain, 128, { 128 });
    EXPECT_EQ (*std::max_element (out.begin(), out.end()), 0.0f);
    mute = false;
    out = render (gain, 128, { 128 });
    EXPECT_EQ (out.front(), 0.25f);

    // A ramp in progress stops where it is at a prepare.
    gain.setGain (1.0f, 0.1f);
    render (gain, 441, { 441 });
    const auto reached = gain.getRamp().getCurrentValue();
    gain.prepareToPlay (128, 44100.0);
    out = render (gain, 256, { 128 });
    EXPECT_EQ (out.front(), reached);
    EXPECT_EQ (out.back(), reached);

    // The pads' stage shares the body.
    SimpleSmoothedGainAudioSource pads (&one);
    pads.prepareToPlay (64, 48000.0);
    pads.setGain (0.0f, 0.001f); // 48 steps
    out = render (pads, 64, { 64 });
    EXPECT_EQ (out[47], 0.0f);
    EXPECT_NEAR (out[23], 0.5f, 1.0e-5f);
}

TEST (SmoothedGainAudioSource, AudioThreadRequestsHaveTheirOwnSlot)
{
    ConstantSource source (1.0f, 1.0f);
    SmoothedGainAudioSource gain (&source);
    gain.prepareToPlay (256, 48000.0);

    // Made before the stage renders (an engine callback earlier in the block): the whole block.
    gain.requestRamp (0.0f, 0.0f);
    auto out = render (gain, 256, { 256 });
    EXPECT_EQ (*std::max_element (out.begin(), out.end()), 0.0f);

    // Both writers before one block, the audio thread first: neither request overwrites the other's
    // slot; the message thread's applies first, the audio thread's last.
    gain.requestRamp (0.6f, 0.0f);
    gain.setGain (0.2f, 0.0f);
    out = render (gain, 64, { 64 });
    EXPECT_EQ (out.front(), 0.6f);
    EXPECT_EQ (out.back(), 0.6f);

    // A taken request is gone: a later message-thread ramp is not undone by the audio slot.
    gain.setGain (0.3f, 0.0f);
    out = render (gain, 128, { 64 });
    EXPECT_EQ (out.front(), 0.3f);
    EXPECT_EQ (out.back(), 0.3f);

    // An audio-thread ramp runs linearly over its time, like a message-thread one.
    gain.requestRamp (0.8f, 0.01f); // 480 steps
    out = render (gain, 600, { 100 });
    EXPECT_NEAR (out[239], 0.55f, 1.0e-4f);
    EXPECT_EQ (out[479], 0.8f);
    EXPECT_EQ (out.back(), 0.8f);

    // Before the first prepare the request applies at once, as setGain does.
    ConstantSource one (1.0f, 1.0f);
    SmoothedGainAudioSource unprepared (&one);
    unprepared.requestRamp (0.4f, 1.0f);
    EXPECT_EQ (unprepared.getRamp().getCurrentValue(), 0.4f);
}

TEST (CosineSmoothedGainAudioSource, RaisedCosineWithTimeScaledByDistance)
{
    const struct { float from, to, seconds; int expectedSteps; } cases[] = {
        { 1.0f, 0.0f, 2.0f, 96000 },   // distance 1: 2 s
        { 0.5f, 0.0f, 2.0f, 48000 },   // distance 0.5: 1 s
        { 1.0f, 0.5f, 0.04f, 1920 },   // 0.05 s or less: not scaled
        { 0.0f, 1.0f, 0.005f, 240 },
    };

    for (const auto& c : cases)
    {
        ConstantSource one (1.0f, 1.0f);
        CosineSmoothedGainAudioSource fader (&one);
        fader.setGain (c.from, 0.0f); // before prepare: at once
        fader.prepareToPlay (512, 48000.0);
        fader.setGain (c.to, c.seconds);

        const auto out = render (fader, c.expectedSteps + 1000, { 512, 333 });
        for (int i = 0; i < c.expectedSteps; i += 97)
            ASSERT_NEAR (out[(size_t) i], raisedCosine (c.from, c.to, (float) (i + 1) / (float) c.expectedSteps), 1.0e-3f)
                << i << " of " << c.expectedSteps;
        EXPECT_NEAR (out[(size_t) c.expectedSteps / 2 - 1], (c.from + c.to) * 0.5f, 1.0e-3f);
        EXPECT_EQ (out[(size_t) c.expectedSteps - 1], c.to);
        EXPECT_EQ (out.back(), c.to);
        // Smooth: the largest step is the slope at mid-ramp, pi/2 x distance / steps.
        float largestStep = 0.0f;
        for (int i = 1; i < c.expectedSteps; ++i)
            largestStep = std::max (largestStep, std::abs (out[(size_t) i] - out[(size_t) i - 1]));
        EXPECT_LE (largestStep, juce::MathConstants<float>::halfPi * std::abs (c.to - c.from) / (float) c.expectedSteps * 1.01f);
    }
}

TEST (CosineSmoothedGainAudioSource, AudioThreadRequestAppliesAtTheNextBlockAfterMessageThreadGain)
{
    HookSource source;
    CosineSmoothedGainAudioSource fader (&source);
    fader.prepareToPlay (256, 48000.0);

    // A request made while this stage renders (an engine callback) waits for the next block.
    source.hook = [&] { fader.requestRamp (0.0f, 0.005f); source.hook = nullptr; };
    auto first = render (fader, 256, { 256 });
    EXPECT_EQ (*std::min_element (first.begin(), first.end()), 1.0f);
    auto second = render (fader, 256, { 256 });
    EXPECT_NEAR (second[0], raisedCosine (1.0f, 0.0f, 1.0f / 240.0f), 1.0e-6f);
    EXPECT_EQ (second[239], 0.0f);

    // Both writers between two blocks: the message thread's request first, the audio thread's last.
    fader.setGain (0.2f, 0.0f);
    fader.requestRamp (0.8f, 0.0f);
    auto third = render (fader, 64, { 64 });
    EXPECT_EQ (third.front(), 0.8f);
    EXPECT_EQ (third.back(), 0.8f);
}

TEST (CosineSmoothedGainAudioSource, PullsLongerThanPreparedFollowTheSameCurve)
{
    ConstantSource one (1.0f, 1.0f);
    CosineSmoothedGainAudioSource small (&one), reference (&one);
    small.prepareToPlay (64, 48000.0);
    reference.prepareToPlay (4096, 48000.0);
    small.setGain (0.0f, 0.05f);
    reference.setGain (0.0f, 0.05f);
    EXPECT_EQ (render (small, 4000, { 1000 }), render (reference, 4000, { 1000 }));
}

TEST (MusicCrossfadeSource, EqualPowerFromTheAudioJustPlayed)
{
    RampSource ramp;
    MusicCrossfadeSource crossfade (&ramp);
    crossfade.prepareToPlay (512, 48000.0);

    // Right after prepare there is no history: nothing is faded.
    crossfade.trigger();
    ramp.position = 500000;
    auto out = render (crossfade, 512, { 512 });
    EXPECT_EQ (out[0], RampSource::valueAt (500000));
    EXPECT_FALSE (crossfade.isFading());

    ramp.position = 0;
    render (crossfade, 3000, { 512 }); // positions 0 .. 2999 played
    crossfade.trigger();
    ramp.position = 100000; // the seek
    out = render (crossfade, 3000, { 100, 512 });

    for (int i = 0; i < 2400; ++i)
    {
        const double x = (double) i / 2400.0 * juce::MathConstants<double>::halfPi;
        const double expected = std::sin (x) * RampSource::valueAt (100000 + i) + std::cos (x) * RampSource::valueAt (600 + i);
        ASSERT_NEAR (out[(size_t) i], expected, std::abs (expected) * 1.0e-6) << i;
    }
    for (int i = 2400; i < 3000; ++i)
        ASSERT_EQ (out[(size_t) i], RampSource::valueAt (100000 + i)) << i;
}

TEST (MusicCrossfadeSource, PowerStaysConstantBetweenTwoLevels)
{
    ConstantSource level (0.0f, 0.0f);
    MusicCrossfadeSource crossfade (&level);
    crossfade.prepareToPlay (256, 48000.0);
    level.left = level.right = 1.0f;
    render (crossfade, 2400, { 256 });
    crossfade.trigger();
    level.left = level.right = 0.0f; // old 1, new 0: out = cos(x)
    auto fadeOut = render (crossfade, 2400, { 256 });
    render (crossfade, 2400, { 256 });
    crossfade.trigger();
    level.left = level.right = 1.0f; // old 0, new 1: out = sin(x)
    auto fadeIn = render (crossfade, 2400, { 256 });
    for (int i = 0; i < 2400; i += 11)
        ASSERT_NEAR (fadeOut[(size_t) i] * fadeOut[(size_t) i] + fadeIn[(size_t) i] * fadeIn[(size_t) i], 1.0f, 1.0e-5f) << i;
}

TEST (FilteredAudioSource, FiltersRunOnlyInsideTheirThresholds)
{
    const auto noise = makeNoise (3, 4800, 0.5f, 7);
    struct Player : juce::AudioSource
    {
        const juce::AudioBuffer<float>& data;
        int position = 0;
        explicit Player (const juce::AudioBuffer<float>& d) : data (d) {}
        void prepareToPlay (int, double) override { position = 0; }
        void releaseResources() override {}
        void getNextAudioBlock (const juce::AudioSourceChannelInfo& info) override
        {
            for (int c = 0; c < info.buffer->getNumChannels(); ++c)
                info.buffer->copyFrom (c, info.startSample, data, c, position, info.numSamples);
            position += info.numSamples;
        }
    };

    const struct { float lowPass, highPass; bool changes; } cases[] = {
        { 20000.0f, 20.0f, false }, { 19999.0f, 21.0f, false },
        { 19998.0f, 20.0f, true }, { 20000.0f, 22.0f, true }, { 19998.0f, 22.0f, true },
    };
    for (const auto& c : cases)
    {
        Player player (noise);
        FilteredAudioSource filter (&player);
        filter.lowPassCutoff = c.lowPass;
        filter.highPassCutoff = c.highPass;
        filter.prepareToPlay (480, 48000.0);

        juce::AudioBuffer<float> out (3, 4800);
        for (int b = 0; b < 10; ++b)
            filter.getNextAudioBlock (juce::AudioSourceChannelInfo (&out, b * 480, 480));

        double difference = 0.0;
        for (int i = 0; i < 4800; ++i)
            difference = std::max (difference, (double) std::abs (out.getSample (0, i) - noise.getSample (0, i)));
        if (c.changes)
            EXPECT_GT (difference, 1.0e-3) << c.lowPass << "/" << c.highPass;
        else
            EXPECT_EQ (difference, 0.0) << c.lowPass << "/" << c.highPass;
        // Channels from 2 on are never filtered.
        for (int i = 0; i < 4800; i += 13)
            ASSERT_EQ (out.getSample (2, i), noise.getSample (2, i));
    }
}

TEST (FilteredAudioSource, ButterworthResponseAtTheCutOffs)
{
    auto levelAfter = [] (float lowPass, float highPass, double frequency)
    {
        const auto sine = makeSine (2, 48000, 48000.0, frequency, 0.5f);
        struct Player : juce::AudioSource
        {
            const juce::AudioBuffer<float>& data;
            int position = 0;
            explicit Player (const juce::AudioBuffer<float>& d) : data (d) {}
            void prepareToPlay (int, double) override {}
            void releaseResources() override {}
            void getNextAudioBlock (const juce::AudioSourceChannelInfo& info) override
            {
                for (int c = 0; c < info.buffer->getNumChannels(); ++c)
                    info.buffer->copyFrom (c, info.startSample, data, c, position, info.numSamples);
                position += info.numSamples;
            }
        } player (sine);
        FilteredAudioSource filter (&player);
        filter.prepareToPlay (480, 48000.0);
        filter.lowPassCutoff = lowPass;
        filter.highPassCutoff = highPass;
        filter.updateCoefficients();
        juce::AudioBuffer<float> out (2, 48000);
        for (int b = 0; b < 100; ++b)
            filter.getNextAudioBlock (juce::AudioSourceChannelInfo (&out, b * 480, 480));
        return juce::Decibels::gainToDecibels (out.getRMSLevel (1, 24000, 24000) / sine.getRMSLevel (1, 24000, 24000));
    };

    EXPECT_NEAR (levelAfter (1000.0f, 20.0f, 1000.0), -3.01f, 0.1f);  // -3 dB at the cut-off
    EXPECT_NEAR (levelAfter (1000.0f, 20.0f, 100.0), 0.0f, 0.05f);
    EXPECT_LT (levelAfter (1000.0f, 20.0f, 10000.0), -40.0f); // at least 12 dB per octave
    EXPECT_NEAR (levelAfter (20000.0f, 500.0f, 500.0), -3.01f, 0.1f);
    EXPECT_NEAR (levelAfter (20000.0f, 500.0f, 50.0), -40.0f, 1.0f);
}
