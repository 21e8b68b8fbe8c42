#pragma once

#include <juce_audio_devices/juce_audio_devices.h>

namespace quorvelle
{
// The song's transport. JUCE's transport moves its source from the calling thread without its
// callback lock, so a seek while playing wrote the source's read position (and the resampler's
// phase and carried samples) while the audio thread was reading them.
//
// Threads: a seek (message thread) waits for the block in flight to end and holds the audio thread
// off while it moves the source; the audio thread never waits: a block that meets a seek in
// progress is silent and leaves the position where the seek puts it.
class SongTransportSource : public juce::AudioTransportSource
{
public:
    void setNextReadPosition (juce::int64 newPosition) override
    {
        const juce::SpinLock::ScopedLockType hold (seekLock);
        juce::AudioTransportSource::setNextReadPosition (newPosition);
    }

    void getNextAudioBlock (const juce::AudioSourceChannelInfo& info) override
    {
        const juce::SpinLock::ScopedTryLockType hold (seekLock);
        if (! hold.isLocked())
        {
            info.clearActiveBufferRegion();
            return;
        }
        juce::AudioTransportSource::getNextAudioBlock (info);
    }

private:
    juce::SpinLock seekLock;
};
} // namespace quorvelle
