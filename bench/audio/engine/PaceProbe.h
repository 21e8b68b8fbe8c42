#pragma once

// A probe callback, registered after the engine's player, that stamps the end of every block on a
// real-time clock. A block is missed when it ends later than one period after its due time on the
// ideal pace (the pace is then re-anchored at that block, so one stall counts the blocks it
// delayed). Separately, `overruns` counts the blocks whose router render alone took longer than the
// period: on hardware each is an xrun whatever the scheduler did.

#include "audio/engine/AudioEngine.h"

#include <juce_audio_devices/juce_audio_devices.h>

#include <atomic>
#include <chrono>
#include <cstring>

namespace quorvelle::bench
{
class PaceProbe final : public juce::AudioIODeviceCallback
{
public:
    PaceProbe (MultiBusRouter& r, int block, double rate) : router (r), period (block / rate) {}

    void audioDeviceIOCallbackWithContext (const float* const*, int, float* const* outputs, int numOutputs, int numSamples,
                                           const juce::AudioIODeviceCallbackContext&) override
    {
        for (int c = 0; c < numOutputs; ++c)
            if (outputs[c] != nullptr)
                std::memset (outputs[c], 0, sizeof (float) * (size_t) numSamples);

        const auto now = std::chrono::steady_clock::now();
        const auto index = blocks.fetch_add (1);
        if (index == 0)
            anchor = now;
        const auto due = anchor + std::chrono::duration_cast<std::chrono::steady_clock::duration> (
                                      std::chrono::duration<double> ((double) (index - anchorIndex + 1) * period));
        if (now > due)
        {
            missed.fetch_add (1);
            anchor = now;
            anchorIndex = index;
        }
        if ((double) router.lastCallbackMicros.load() > period * 1.0e6)
            overruns.fetch_add (1);
    }
    void audioDeviceAboutToStart (juce::AudioIODevice*) override {}
    void audioDeviceStopped() override {}

    std::atomic<int64_t> blocks { 0 }, missed { 0 }, overruns { 0 };

private:
    MultiBusRouter& router;
    const double period;
    std::chrono::steady_clock::time_point anchor;
    int64_t anchorIndex = 0;
};
} // namespace quorvelle::bench
