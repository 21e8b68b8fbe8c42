#pragma once

#include <juce_audio_basics/juce_audio_basics.h>

#include <atomic>
#include <cstdint>

namespace quorvelle
{
// Converts the session's rate to the device's by linear interpolation with no look-ahead: each block
// reads exactly the input it needs and carries at most two input samples to the next.
//
// Threads: the message thread may change the ratio at any time (`setRatio`, one atomic store); the
// audio thread reads it once at the start of each block, so a block never mixes two ratios. The
// input buffer is sized at prepare for the ratio then in force; a later, larger ratio renders its
// blocks in pieces that fit (logged once), never by growing the buffer.
//
// Positions and the length count output (device-rate) samples, the units of the transport that
// plays this source, so its seconds are the song's seconds. Seeks and position reads come from the
// transport (under its callback lock) or while nothing renders.
class ZeroLatencyResamplingSource : public juce::PositionableAudioSource
{
public:
    // ratio = session rate / device rate (exactly 1 when the two are within 1 Hz).
    ZeroLatencyResamplingSource (juce::PositionableAudioSource* source, double ratio, int channels = 2);

    struct Stats
    {
        int64_t inputPulled = 0, inputConsumed = 0, outputSamples = 0, blocks = 0, blocksWithoutCarry = 0, seeks = 0;
    };
    // Message thread (engine timer): reads and resets the counters.
    Stats takeStats() noexcept;

    double getRatio() const noexcept { return ratio.load(); }
    // Any thread; takes effect at the next block.
    void setRatio (double newRatio) noexcept { ratio.store (newRatio); }
    int inputCapacity() const noexcept { return inputBuffer.getNumSamples(); }

    void prepareToPlay (int samplesPerBlockExpected, double sampleRate) override;
    void releaseResources() override { source->releaseResources(); }
    void getNextAudioBlock (const juce::AudioSourceChannelInfo& info) override;
    void setNextReadPosition (juce::int64 p) override;
    juce::int64 getNextReadPosition() const override;
    juce::int64 getTotalLength() const override;
    bool isLooping() const override { return source->isLooping(); }
    void setLooping (bool looping) override { source->setLooping (looping); }

private:
    // Input samples a piece of k outputs reads from the start of the buffer.
    int inputNeeded (int k, double blockRatio) const noexcept;
    void renderPiece (juce::AudioBuffer<float>& out, int start, int k, double blockRatio);

    juce::PositionableAudioSource* source;
    const int channels;
    std::atomic<double> ratio;
    double deviceSampleRate = 48000.0;
    double phase = 0.0;
    juce::AudioBuffer<float> inputBuffer;
    int carriedCount = 0;
    float carried[2][2] {};
    std::atomic<bool> overrunLogged { false };

    std::atomic<int64_t> inputPulled { 0 }, inputConsumed { 0 }, outputSamples { 0 }, blocks { 0 }, blocksWithoutCarry { 0 }, seeks { 0 };
};
} // namespace quorvelle
