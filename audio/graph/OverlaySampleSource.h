#pragma once

#include "audio/graph/GraphUtils.h"

#include <juce_audio_basics/juce_audio_basics.h>

#include <atomic>

namespace quorvelle
{
// A one-shot player of a prepared buffer with 5 ms linear edge fades (the count overlays).
// A new sample is built in a second take while the audio thread plays the first: the overlay stops,
// the built take is published, then it starts. The audio thread never sees a buffer being resized and
// never frees one.
class OverlaySampleSource : public juce::AudioSource
{
public:
    OverlaySampleSource() = default;

    // Message thread. An empty buffer stops the overlay; otherwise the sample is converted from
    // sourceRate to deviceRate by linear interpolation (copied as is when the rates are within 1 Hz or
    // either is not positive) and plays from its start.
    void loadSample (const juce::AudioBuffer<float>& buffer, double sourceRate, double deviceRate);

    // Audio thread (the router, before this source renders).
    bool isPlaying() noexcept;
    // Samples left to play: length - position while playing, else 0.
    int samplesLeft() noexcept;

    // Any thread: the loaded take's length and fade, for diagnostics and tests.
    int getLength() noexcept;
    int getFadeLength() noexcept;
    // Bytes of the loaded take's sample storage.
    int64_t getSampleBytes() noexcept;

    void prepareToPlay (int, double) override {}
    void releaseResources() override {}
    void getNextAudioBlock (const juce::AudioSourceChannelInfo& info) override;

    std::atomic<float> peak { 0.0f };

private:
    struct Take
    {
        juce::AudioBuffer<float> sample;
        int fadeLength = 0;
        std::atomic<int> position { 0 };
        std::atomic<bool> playing { false };
    };
    PublishedState<Take> takes;
};
} // namespace quorvelle
