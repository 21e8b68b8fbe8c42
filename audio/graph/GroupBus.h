#pragma once

#include "audio/graph/ChainSources.h"
#include "audio/graph/GainStages.h"
#include "audio/graph/StretchAudioSource.h"

#include <memory>

namespace quorvelle
{
// One group's chain: its tracks' mixer -> real-time stretch -> gain -> the bus tap the router plays.
struct GroupBus
{
    juce::String name;
    bool pitched = true; // false for click, guide, drums, percussion, loops and fx

    PositionableMixerSource mixer;
    std::unique_ptr<StretchAudioSource> stretch;
    std::unique_ptr<SmoothedGainAudioSource> gain;
    std::unique_ptr<TapAudioSource> tap;

    int firstChannel = 0;
    bool stereo = true;
    juce::SpinLock routeLock; // guards firstChannel and stereo

    // Builds the chain over `mixer` (replacing an earlier one): stretch configured for 44.1 kHz at
    // ratio 1, gain 1.0 set with a 0.02 s ramp, the tap last.
    void createChain (const juce::String& groupName, bool isPitched);
    // Drops every track from the mixer.
    void clearTracks();
};
} // namespace quorvelle
