#include "audio/graph/GroupBus.h"

namespace quorvelle
{
void GroupBus::createChain (const juce::String& groupName, bool isPitched)
{
    name = groupName;
    pitched = isPitched;

    auto newStretch = std::make_unique<StretchAudioSource> (&mixer);
    auto newGain = std::make_unique<SmoothedGainAudioSource> (newStretch.get());
    newGain->setGain (1.0f, 0.02f);
    auto newTap = std::make_unique<TapAudioSource> (newGain.get());

    // Outermost first, so no stage outlives what it wraps.
    tap = std::move (newTap);
    gain = std::move (newGain);
    stretch = std::move (newStretch);
}

void GroupBus::clearTracks()
{
    mixer.clearInputs();
}
} // namespace quorvelle
