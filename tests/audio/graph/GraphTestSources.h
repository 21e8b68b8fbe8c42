#pragma once

// Small sources for the audio-graph tests (their samples tell where they were read from), the
// router's flags as the engine owns them, and a log capture that skips earlier audio-thread lines.

#include "audio/graph/AudioThreadLog.h"
#include "audio/graph/CountIn.h"
#include "audio/graph/MultiBusRouter.h"
#include "tests/support/CapturingLogger.h"

#include <juce_audio_basics/juce_audio_basics.h>

#include <atomic>
#include <cstdint>
#include <vector>

namespace quorvelle::test
{
// Sample at position p is p + 1 on channel 0 and -(p + 1) on channel 1 (exact in float below 2^24);
// 0 past the end. Records the size of every pull when asked.
class RampSource : public juce::PositionableAudioSource
{
public:
    explicit RampSource (int64_t length = 1 << 23) : length (length) {}

    static float valueAt (int64_t p) { return (float) (p + 1); }

    void prepareToPlay (int block, double rate) override
    {
        preparedBlock = block;
        preparedRate = rate;
    }
    void releaseResources() override {}
    void getNextAudioBlock (const juce::AudioSourceChannelInfo& info) override
    {
        if (recordPulls)
            pulls.push_back (info.numSamples);
        for (int i = 0; i < info.numSamples; ++i)
        {
            const auto p = position + i;
            const float v = p < length ? valueAt (p) : 0.0f;
            for (int c = 0; c < info.buffer->getNumChannels(); ++c)
                info.buffer->setSample (c, info.startSample + i, c == 1 ? -v : v);
        }
        position += info.numSamples;
    }
    void setNextReadPosition (juce::int64 p) override { position = p; }
    juce::int64 getNextReadPosition() const override { return position; }
    juce::int64 getTotalLength() const override { return length; }
    bool isLooping() const override { return false; }
    void setLooping (bool) override {}

    int64_t position = 0;
    int64_t length;
    bool recordPulls = false;
    std::vector<int> pulls;
    int preparedBlock = 0;
    double preparedRate = 0.0;
};

// Writes a constant per channel: `left` on channel 0, `right` on channel 1, `left` elsewhere.
class ConstantSource : public juce::PositionableAudioSource
{
public:
    ConstantSource (float left, float right) : left (left), right (right) {}

    void prepareToPlay (int, double) override { ++prepareCount; }
    void releaseResources() override {}
    void getNextAudioBlock (const juce::AudioSourceChannelInfo& info) override
    {
        for (int c = 0; c < info.buffer->getNumChannels(); ++c)
            juce::FloatVectorOperations::fill (info.buffer->getWritePointer (c, info.startSample), c == 1 ? right : left, info.numSamples);
        position += info.numSamples;
        rendered += info.numSamples;
    }
    void setNextReadPosition (juce::int64 p) override { position = p; }
    juce::int64 getNextReadPosition() const override { return position; }
    juce::int64 getTotalLength() const override { return 1 << 30; }
    bool isLooping() const override { return false; }
    void setLooping (bool) override {}

    float left, right;
    int64_t position = 0, rendered = 0;
    int prepareCount = 0;
};

// A count-in whose length is set in samples: renders `level` on every channel while counting and
// reports its end like the real one (completedAtSample = the end's offset in the block).
class FakeCountIn : public CountInInterface
{
public:
    explicit FakeCountIn (CountInState& state) : state (state) {}

    void start (int64_t samples)
    {
        length = samples;
        position = 0;
        active.store (true);
        state.completedAtSample.store (-1);
        state.counting.store (true);
    }

    bool isActive() const override { return active.load(); }
    bool isRegionOverlayActive() const override { return regionOverlay.load(); }

    void prepareToPlay (int, double) override {}
    void releaseResources() override {}
    void getNextAudioBlock (const juce::AudioSourceChannelInfo& info) override
    {
        info.clearActiveBufferRegion();
        ++renders;
        if (! active.load())
        {
            if (regionOverlay.load())
                fill (info, info.numSamples);
            return;
        }

        const auto e = (int) std::min<int64_t> (length - position, info.numSamples);
        fill (info, e);
        position += e;
        if (position >= length)
        {
            active.store (false);
            state.counting.store (false);
            state.completedAtSample.store (e);
        }
    }

    float level = 0.25f;
    std::atomic<bool> active { false }, regionOverlay { false };
    int64_t length = 0, position = 0;
    int renders = 0;

private:
    void fill (const juce::AudioSourceChannelInfo& info, int k)
    {
        for (int c = 0; c < info.buffer->getNumChannels(); ++c)
            juce::FloatVectorOperations::fill (info.buffer->getWritePointer (c, info.startSample), level, k);
    }

    CountInState& state;
};

// The count-in and the flags a MultiBusRouter reads and writes, owned here as the engine owns them.
// A test graph derives from it and binds its router in its constructor.
struct RouterFlags
{
    CountInState countState;
    FakeCountIn countIn { countState };
    std::atomic<bool> sessionPresent { true }, standalone { false }, countJumpArmed { false }, handoffArmed { false },
        overlayDrives { false }, autoStartRaised { false };
    std::atomic<double> stampMs { 0.0 };

    void bind (MultiBusRouter& router)
    {
        router.countInState = &countState;
        router.sessionPresent = &sessionPresent;
        router.standaloneCountActive = &standalone;
        router.countJumpArmed = &countJumpArmed;
        router.handoffArmed = &handoffArmed;
        router.overlayDrivesHandoff = &overlayDrives;
        router.autoStartRaised = &autoStartRaised;
        router.handoffStampMs = &stampMs;
    }
};

namespace detail
{
struct DrainAudioThreadLog
{
    DrainAudioThreadLog() { AudioThreadLog::shared().drain(); }
};
} // namespace detail

// A capturing logger installed only once the lines earlier code left queued on the shared audio
// thread log have been drained (to the logger in place before it). Lines queued later reach it
// when the test drains the queue again.
class AudioCapturingLogger : private detail::DrainAudioThreadLog, public CapturingLogger
{
};

// Renders `blocks` blocks of `blockSize` from a source into one long buffer.
inline juce::AudioBuffer<float> renderBlocks (juce::AudioSource& source, int channels, int blockSize, int blocks)
{
    juce::AudioBuffer<float> out (channels, blockSize * blocks);
    out.clear();
    for (int b = 0; b < blocks; ++b)
    {
        juce::AudioBuffer<float> block (channels, blockSize);
        block.clear();
        source.getNextAudioBlock (juce::AudioSourceChannelInfo (&block, 0, blockSize));
        for (int c = 0; c < channels; ++c)
            out.copyFrom (c, b * blockSize, block, c, 0, blockSize);
    }
    return out;
}
} // namespace quorvelle::test
