// Recording the program's JACK outputs with jack_rec and reading the recording back, for the
// end-to-end tests on jackd's dummy backend.
#pragma once

#include "DummyJackServer.h"

#include <juce_audio_formats/juce_audio_formats.h>

#include <vector>

namespace quorvelle::test
{
// Reads a 32-bit recording as its integer samples.
inline std::vector<std::vector<int>> readRecording (const juce::File& file)
{
    juce::AudioFormatManager formats;
    formats.registerBasicFormats();
    std::unique_ptr<juce::AudioFormatReader> reader (formats.createReaderFor (file));
    if (reader == nullptr)
        return {};
    std::vector<std::vector<int>> channels (reader->numChannels, std::vector<int> ((size_t) reader->lengthInSamples));
    std::vector<int*> pointers;
    for (auto& c : channels)
        pointers.push_back (c.data());
    if (! reader->read (pointers.data(), (int) pointers.size(), 0, (int) reader->lengthInSamples, false))
        return {};
    return channels;
}

// jack_rec on the program's two first outputs, 32-bit, for `seconds`.
inline BackgroundTool startJackRecorder (const juce::File& recording, int seconds)
{
    return BackgroundTool ({ "jack_rec", "-b", "32", "-f", recording.getFullPathName(), "-d", juce::String (seconds), "quorvelle:out_1",
                             "quorvelle:out_2" });
}

// Waits (bounded) until the recorder's ports are connected.
inline bool waitForJackRecorder() { return waitForJackListing ("jackrec"); }
} // namespace quorvelle::test
