#pragma once

#include <juce_audio_formats/juce_audio_formats.h>

namespace quorvelle
{
// An MP3 reader's length is an estimate: a failed read that reaches its last samples ends the
// audio there instead of failing it.
inline bool readFailureEndsAudio (const juce::AudioFormatReader& reader, juce::int64 position, int count)
{
    return reader.getFormatName().containsIgnoreCase ("MP3") && position + count >= reader.lengthInSamples;
}

// Feeds a resampler (or any consumer of an AudioSource) from a reader, from sample 0 on, and
// remembers a read that failed; after the end of an estimated length it renders silence.
// One consumer thread.
class RecordingReaderSource final : public juce::AudioSource
{
public:
    explicit RecordingReaderSource (juce::AudioFormatReader& readerIn) : reader (readerIn) {}

    void prepareToPlay (int, double) override {}
    void releaseResources() override {}
    void getNextAudioBlock (const juce::AudioSourceChannelInfo& info) override
    {
        if (ended || ! reader.read (info.buffer, info.startSample, info.numSamples, position, true, true))
        {
            if (! ended && ! readFailureEndsAudio (reader, position, info.numSamples))
                failed = true;
            ended = true;
            info.clearActiveBufferRegion();
        }
        position += info.numSamples;
    }

    bool hasFailed() const noexcept { return failed; }

private:
    juce::AudioFormatReader& reader;
    juce::int64 position = 0;
    bool ended = false, failed = false;
};
} // namespace quorvelle
