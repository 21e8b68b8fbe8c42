#pragma once

#include "audio/graph/GraphUtils.h"

#include <juce_audio_basics/juce_audio_basics.h>

#include <atomic>
#include <cstdint>

namespace quorvelle
{
// A gain request (target, seconds) handed from one writer thread to the render: both floats packed
// into one 64-bit atomic, so the render never sees half of a request. The render takes it by exchange.
class PendingGain
{
public:
    void post (float target, float seconds) noexcept;
    // Takes the request, if any.
    bool take (float& target, float& seconds) noexcept;

private:
    static constexpr uint64_t empty = ~(uint64_t) 0;
    std::atomic<uint64_t> slot { empty };
};

// The body of the two linear gain stages: a linear ramp over the region of each block.
class LinearGainRamp
{
public:
    LinearGainRamp();

    // Message thread. Before the first prepare the gain applies at once; afterwards the request is
    // applied at the start of the next block.
    void setGain (float target, float seconds) noexcept;
    // Audio thread (engine callbacks), through its own slot: applied at the start of the next block,
    // after a message-thread request of that block.
    void requestRamp (float target, float seconds) noexcept;
    void prepare (double sampleRate) noexcept;
    // Audio thread: applies a pending request, then the gain over [start, start + n).
    void process (const juce::AudioSourceChannelInfo& info, const std::atomic<bool>* muteFlag) noexcept;

    float getCurrentValue() const noexcept { return smoother.getCurrentValue(); }
    float getTargetValue() const noexcept { return smoother.getTargetValue(); }
    bool isRamping() const noexcept { return smoother.isSmoothing(); }

private:
    void apply (float target, float seconds) noexcept;

    juce::SmoothedValue<float, juce::ValueSmoothingTypes::Linear> smoother;
    std::atomic<double> sampleRate { 0.0 };
    float rampSeconds = -1.0f;
    PendingGain pending, audioPending;
};

// A linear gain ramp on a positionable chain (tracks, group buses, metronome and cue chains). While
// the bound mute flag reads true the stage is silent.
class SmoothedGainAudioSource : public PositionableStage
{
public:
    explicit SmoothedGainAudioSource (juce::PositionableAudioSource* source) : PositionableStage (source) {}

    void setGain (float target, float seconds) noexcept { ramp.setGain (target, seconds); }
    // Audio thread (engine callbacks): as setGain, through the ramp's second slot.
    void requestRamp (float target, float seconds) noexcept { ramp.requestRamp (target, seconds); }
    void setMuteFlag (const std::atomic<bool>* flag) noexcept { muteFlag = flag; }
    const LinearGainRamp& getRamp() const noexcept { return ramp; }

    void prepareToPlay (int samplesPerBlockExpected, double sampleRate) override;
    void getNextAudioBlock (const juce::AudioSourceChannelInfo& info) override;

private:
    LinearGainRamp ramp;
    const std::atomic<bool>* muteFlag = nullptr;
};

// The same linear ramp on a plain source (the pads).
class SimpleSmoothedGainAudioSource : public juce::AudioSource
{
public:
    explicit SimpleSmoothedGainAudioSource (juce::AudioSource* source) : source (source) {}

    void setGain (float target, float seconds) noexcept { ramp.setGain (target, seconds); }
    const LinearGainRamp& getRamp() const noexcept { return ramp; }

    void prepareToPlay (int samplesPerBlockExpected, double sampleRate) override;
    void releaseResources() override { source->releaseResources(); }
    void getNextAudioBlock (const juce::AudioSourceChannelInfo& info) override;

private:
    juce::AudioSource* source;
    LinearGainRamp ramp;
};

// The pads' master low-pass and high-pass (second-order Butterworth). A low-pass at 19999 Hz or
// above and a high-pass at 21 Hz or below are bypassed.
class FilteredAudioSource : public juce::AudioSource
{
public:
    explicit FilteredAudioSource (juce::AudioSource* source) : source (source) {}

    // Message thread: store a cut-off, then call updateCoefficients.
    std::atomic<float> lowPassCutoff { 20000.0f };
    std::atomic<float> highPassCutoff { 20.0f };
    void updateCoefficients();

    void prepareToPlay (int samplesPerBlockExpected, double sampleRate) override;
    void releaseResources() override { source->releaseResources(); }
    void getNextAudioBlock (const juce::AudioSourceChannelInfo& info) override;

private:
    juce::AudioSource* source;
    juce::IIRFilter lowPass[2], highPass[2];
    std::atomic<double> sampleRate { 0.0 };
};

// The music path's master fader: a raised-cosine ramp, its time scaled by the distance travelled.
// Fed from the message thread (setGain) and from the audio thread (requestRamp, in the engine's
// callbacks), each through its own pending slot; at the start of a block the message thread's slot is
// applied first, then the audio thread's.
class CosineSmoothedGainAudioSource : public PositionableStage
{
public:
    explicit CosineSmoothedGainAudioSource (juce::PositionableAudioSource* source) : PositionableStage (source) {}

    // Message thread. Before the first prepare the gain applies at once.
    void setGain (float target, float seconds) noexcept;
    // Audio thread (engine callbacks): applied at the start of this stage's next block.
    void requestRamp (float target, float seconds) noexcept;

    // Render-side view, for tests and diagnostics on the audio thread.
    float getFromGain() const noexcept { return fromGain; }
    float getToGain() const noexcept { return toGain; }
    bool isRamping() const noexcept { return progress.isSmoothing(); }
    float currentGain() const noexcept;
    // Any thread: the gain reached at the end of the last rendered block (or set at once before
    // the first prepare).
    float getPublishedGain() const noexcept { return publishedGain.load(); }

    void prepareToPlay (int samplesPerBlockExpected, double sampleRate) override;
    void getNextAudioBlock (const juce::AudioSourceChannelInfo& info) override;

private:
    std::atomic<float> publishedGain { 1.0f };
    void applyGain (float target, float seconds) noexcept;
    void setAtOnce (float target) noexcept;
    float gainAt (float t) const noexcept;

    juce::SmoothedValue<float, juce::ValueSmoothingTypes::Linear> progress { 1.0f };
    float fromGain = 1.0f, toGain = 1.0f;
    std::atomic<double> sampleRate { 0.0 };
    float rampSeconds = -1.0f;
    juce::HeapBlock<float> gainBuffer;
    int gainBufferSize = 0;
    PendingGain messageRequest, audioRequest;
};

// An equal-power crossfade of 0.05 s from the audio just played into the audio after a seek. The
// tail is the audio of the 0.05 s before the trigger, replayed under the new audio: no latency.
class MusicCrossfadeSource : public PositionableStage
{
public:
    explicit MusicCrossfadeSource (juce::PositionableAudioSource* source) : PositionableStage (source) {}

    void trigger() noexcept { crossfadeTrigger.store (true); }
    bool isFading() const noexcept { return fadeRemaining > 0; }

    void prepareToPlay (int samplesPerBlockExpected, double sampleRate) override;
    void getNextAudioBlock (const juce::AudioSourceChannelInfo& info) override;

private:
    double sampleRate = 44100.0;
    juce::AudioBuffer<float> history, tail;
    int historyWrite = 0, historyFill = 0;
    int fadeLength = 0, fadeTotal = 0, fadePosition = 0, fadeRemaining = 0;
    std::atomic<bool> crossfadeTrigger { false };
};
} // namespace quorvelle
