#pragma once

#include <juce_core/juce_core.h>

#include <array>

namespace quorvelle
{
class AudioEngine;

// What the redundancy link needs of the audio engine. Threads: `readState` from any thread
// (lock-free reads, a spin-locked copy of the song id); everything else on the message thread.
class RedundancyEngineSeam
{
public:
    struct State
    {
        std::array<char, 256> songId {}; // NUL-terminated UTF-8; empty while no song is loaded
        double bpm = 0.0;
        double positionSeconds = 0.0;    // 0 while the transport has no sample rate
        bool playing = false;
    };

    virtual ~RedundancyEngineSeam() = default;
    virtual State readState() const = 0;
    // The router's second master gain; false (and nothing changes) while there is no router.
    virtual bool setOutputGain (float gain) = 0;
    // Starts the transport from the song's start, without count-in or pre-roll.
    virtual void play() = 0;
    virtual void pause() = 0;
    virtual void seek (double positionSeconds) = 0;
};

// The seam over the real engine (not owned).
class AudioEngineRedundancySeam final : public RedundancyEngineSeam
{
public:
    explicit AudioEngineRedundancySeam (AudioEngine* engine) : engine (engine) {}
    State readState() const override;
    bool setOutputGain (float gain) override;
    void play() override;
    void pause() override;
    void seek (double positionSeconds) override;

private:
    AudioEngine* const engine;
};
} // namespace quorvelle
