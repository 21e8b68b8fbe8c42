// The mixer rows of the dispatcher: track, guide, metronome, bus and master levels, mutes, solos,
// the click and guide sources and the guide state. All inline except the bus level, which is
// posted; none of them waits for the engine.
#include "app/MainComponent.h"
#include "app/RowFields.h"

#include "audio/engine/MixerOrders.h"

namespace quorvelle
{
void MainComponent::registerMixerActions()
{
    using namespace row_fields;
    const auto inlineRow = [this] (const char* action, std::function<void (const juce::var&)> work)
    {
        dispatchTable.add (action, DispatchMode::inlineCall, std::move (work));
    };

    inlineRow ("SET_TRACK_VOLUME", [=, this] (const juce::var& m) { audioEngine.setTrackVolume (text (m, "id"), number (m, "volume")); });
    inlineRow ("SET_TRACK_MUTE", [=, this] (const juce::var& m) { audioEngine.setTrackMute (text (m, "id"), flag (m, "muted")); });
    inlineRow ("SET_TRACK_SOLO", [=, this] (const juce::var& m) { audioEngine.setTrackSolo (text (m, "id"), flag (m, "soloed")); });
    inlineRow ("SET_MASTER_VOLUME", [=, this] (const juce::var& m) { audioEngine.setMasterVolume (number (m, "volume")); });

    inlineRow ("BATCH_MIX_STATE", [this] (const juce::var& m) { applyBatchMixState (audioEngine, m); });
    inlineRow ("UPDATE_METRONOME", [this] (const juce::var& m) { applyUpdateMetronome (audioEngine, m); });

    // Internal exactly for "INT" (case-sensitive); anything else is the song's own stems.
    inlineRow ("SET_CLICK_SOURCE", [=, this] (const juce::var& m) { audioEngine.setClickSource (text (m, "source") == "INT"); });
    inlineRow ("SET_GUIDE_SOURCE", [=, this] (const juce::var& m) { audioEngine.setGuideSource (text (m, "source") == "INT"); });

    inlineRow ("SET_METRONOME_MUTE", [=, this] (const juce::var& m) { audioEngine.setMetronomeMute (flag (m, "muted")); });
    inlineRow ("SET_METRONOME_SOLO", [=, this] (const juce::var& m) { audioEngine.setMetronomeSolo (flag (m, "soloed")); });
    inlineRow ("SET_GUIDE_VOLUME", [=, this] (const juce::var& m) { audioEngine.setGuideVolume (number (m, "volume")); });
    inlineRow ("SET_GUIDE_MUTE", [=, this] (const juce::var& m) { audioEngine.setGuideMute (flag (m, "muted")); });
    inlineRow ("SET_GUIDE_SOLO", [=, this] (const juce::var& m) { audioEngine.setGuideSolo (flag (m, "soloed")); });

    inlineRow ("UPDATE_GUIDE_STATE", [=, this] (const juce::var& m)
    {
        audioEngine.updateGuideState (flag (m, "looping"), flag (m, "repeating"), text (m, "queuedSection"));
    });

    dispatchTable.add ("SET_BUS_VOLUME", DispatchMode::posted, [=, this] (const juce::var& m)
    {
        audioEngine.setBusVolume (text (m, "groupId"), number (m, "volume"));
    });
}
} // namespace quorvelle
