// Core automation in the tick: the stored cues resolved at the tick's song time and tempo, reported
// in the normal form of PLAYBACK_UPDATE as compact JSON text. Message thread only.
#include "audio/engine/AudioEngine.h"

namespace quorvelle
{
void AudioEngine::addAutomationState (juce::DynamicObject& update, double songTime)
{
    const auto state = core::evaluateAutomation (automationCues, songTime, currentBpm.load(), automationBaseState,
                                                 automationOverrides, automationSongMap);
    update.setProperty ("coreAutomationState", juce::String::fromUTF8 (core::automationStateToJson (state).dump().c_str()));
}
} // namespace quorvelle
