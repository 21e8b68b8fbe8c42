// The two multi-setter mixer messages, "BATCH_MIX_STATE" and "UPDATE_METRONOME", decomposed into
// the engine's mixer setters in their fixed order, over a small interface so that the order can be
// checked against a recorder.
#pragma once

#include <juce_core/juce_core.h>

namespace quorvelle
{
// The mixer setters the two messages reach. Message thread.
class MixerSetters
{
public:
    virtual ~MixerSetters() = default;
    virtual void setMasterVolume (float dB) = 0;
    virtual void setTrackVolume (const juce::String& trackId, float dB) = 0;
    virtual void setTrackMute (const juce::String& trackId, bool muted) = 0;
    virtual void setTrackSolo (const juce::String& trackId, bool soloed) = 0;
    virtual void setGuideVolume (float dB) = 0;
    virtual void setGuideMute (bool muted) = 0;
    virtual void setGuideSolo (bool soloed) = 0;
    virtual void setMetronomeVolume (float dB) = 0;
    virtual void setMetronomeSound (const juce::String& soundName) = 0;
    virtual void setMetronomeLevels (float accentDb, float quarterDb, float eighthDb, float sixteenthDb) = 0;
    virtual void setMetronomeMute (bool muted) = 0;
    virtual void setMetronomeSolo (bool soloed) = 0;
    virtual void setBusVolume (const juce::String& busName, float dB) = 0;
};

// Master, tracks, guide, metronome, sequence guide overrides, buses; each part only when present,
// missing fields inside a part read as 0 dB and false, entries with an empty id are skipped.
void applyBatchMixState (MixerSetters& setters, const juce::var& message);
// Volume always (missing: 0 dB), the sound when not empty, the four levels only with "accentVol".
void applyUpdateMetronome (MixerSetters& setters, const juce::var& message);
} // namespace quorvelle
