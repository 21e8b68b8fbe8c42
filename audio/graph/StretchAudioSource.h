#pragma once

#include "audio/graph/TimeStretcher.h"

#include <juce_audio_basics/juce_audio_basics.h>

#include <atomic>
#include <cstdint>

namespace quorvelle
{
// Plays a group at a tempo ratio and a transposition in real time, or passes it through unchanged
// (bypass: the song's audio was stretched offline). Each block pulls n x rate input samples for n
// output samples, carrying the fraction, so the input consumed follows the output exactly.
class StretchAudioSource : public juce::PositionableAudioSource
{
public:
    explicit StretchAudioSource (juce::PositionableAudioSource* source);

    // Written by the engine (atomic exchanges).
    std::atomic<float> rate { 1.0f };      // input samples per output sample
    std::atomic<float> semitones { 0.0f };
    std::atomic<bool> keepStateOnSeek { false }; // one-shot: the next seek keeps the stretcher's state
    std::atomic<bool> bypass { false };

    // The latency the stretcher needs at a tempo ratio and transposition (see TimeStretcher).
    int latencyFor (double ratio, float semitones) const { return stretcher.latencyFor (ratio, semitones); }
    // Message thread, while the transport is paused: the stretcher's latency from the next block on
    // (the audio thread applies it with a restart of the stretcher). -1: the full range's.
    void setLatencySamples (int samples) noexcept { requestedLatency.store (samples); }
    // The latency set (or the full range's): what the song-locked direct sources are delayed by.
    int latencySamples() const noexcept;

    const TimeStretcher& getStretcher() const noexcept { return stretcher; }
    double getConfiguredRate() const noexcept { return configuredRate; }
    int inputCapacity() const noexcept { return inputBuffer.getNumSamples(); }

    void prepareToPlay (int samplesPerBlockExpected, double sampleRate) override;
    void releaseResources() override { source->releaseResources(); }
    void getNextAudioBlock (const juce::AudioSourceChannelInfo& info) override;
    void setNextReadPosition (juce::int64 p) override;
    juce::int64 getNextReadPosition() const override { return outputPosition.load(); }
    juce::int64 getTotalLength() const override;
    bool isLooping() const override { return source->isLooping(); }
    void setLooping (bool looping) override { source->setLooping (looping); }

private:
    juce::PositionableAudioSource* source;
    TimeStretcher stretcher { TimeStretcher::Engine::live };
    double configuredRate = 44100.0;
    juce::AudioBuffer<float> inputBuffer;
    float appliedSemitones = 0.0f;
    std::atomic<int64_t> outputPosition { 0 };
    double inputCarry = 0.0;
    std::atomic<int> requestedLatency { -1 };
    int appliedLatency = -1; // audio thread
    void applyLatency (int samples);
};
} // namespace quorvelle
