#pragma once

#include <juce_audio_basics/juce_audio_basics.h>
#include <juce_audio_formats/juce_audio_formats.h>

#include <map>
#include <memory>

namespace quorvelle
{
// An audio buffer that nobody changes once it is built. Voices, queues and banks share it; whoever
// drops the last reference frees it, which the audio thread never does.
using SharedSampleBuffer = std::shared_ptr<const juce::AudioBuffer<float>>;

// One decoded click file: every channel, its full length, at the file's own rate.
struct ClickSample
{
    juce::AudioBuffer<float> buffer;
    double sampleRate = 0.0;
};

using ClickSampleMap = std::map<juce::String, ClickSample>;
using ResampledClickMap = std::map<juce::String, SharedSampleBuffer>;

namespace samples
{
// The key of an asset sample file: its name without the extension (the text from the last "." on
// is removed, unless that dot is the name's first character), lower-cased, then trimmed.
juce::String keyOfFile (const juce::File& file);

// Converts `source` from `fromRate` to `toRate`: the result has the source's channel count and
// trunc(length / (fromRate / toRate)) + 16 samples, the last of them carrying the end of the
// converted sound and then silence. Null when `source` is null.
std::unique_ptr<juce::AudioBuffer<float>> convertRate (const juce::AudioBuffer<float>& source, double fromRate, double toRate);

// The shared form: `source` itself when it is null, either rate is not above 0 or both are equal
// (nothing is copied), else a new converted buffer.
SharedSampleBuffer convertShared (const SharedSampleBuffer& source, double fromRate, double toRate);

// The files directly inside `folder` (not recursive) whose extension is one of `extensions`
// ("wav;mp3;..."), compared without regard to case as on the platform the program was designed
// for, in the order the folder listing gives.
juce::Array<juce::File> listSampleFiles (const juce::File& folder, const juce::String& extensions);

// Reads (through loadAssetFile, which unscrambles files of a marked asset root) and decodes a
// whole file. False when the bytes cannot be read (`unreadable` set) or no format accepts them.
bool decodeAssetFile (const juce::File& assetRoot, const juce::File& file, juce::AudioFormatManager& formats,
                      juce::AudioBuffer<float>& decoded, double& fileRate, bool& unreadable);
} // namespace samples
} // namespace quorvelle
