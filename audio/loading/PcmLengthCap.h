#pragma once

#include <juce_audio_formats/juce_audio_formats.h>

#include <algorithm>

namespace quorvelle
{
// The sample count to trust for a WAV or AIFF file whose header promises more samples than the
// file can hold (a streaming header that was never finalised); any other reader's length, and
// any length when the file size is unknown (0 or less), unchanged. The capacity counts the
// header bytes as audio, so it catches an unfinished header, not a file that is a little short.
// Any thread; used by the stem subtraction and by the transcoder.
inline juce::int64 capPcmLengthToFileSize (const juce::AudioFormatReader& reader, juce::int64 fileBytes)
{
    const auto declared = reader.lengthInSamples;
    const auto format = reader.getFormatName();
    if (fileBytes <= 0 || declared <= 0 || ! (format.containsIgnoreCase ("WAV") || format.containsIgnoreCase ("AIFF")))
        return declared;

    const juce::int64 bytesPerSample = std::max<juce::int64> (1, reader.bitsPerSample / 8);
    const juce::int64 frameBytes = std::max<juce::int64> (1, bytesPerSample * reader.numChannels);
    const juce::int64 capacity = fileBytes / frameBytes;
    if (capacity < declared)
    {
        juce::Logger::writeToLog ("AudioSanity: PCM header declara " + juce::String (declared)
                                  + " samples pero el archivo solo puede contener " + juce::String (capacity) + " ("
                                  + juce::String (fileBytes)
                                  + juce::String (juce::CharPointer_UTF8 (" bytes) \xe2\x80\x94 capeado. Cabecera streaming sin finalizar.")));
        return capacity;
    }
    return declared;
}
} // namespace quorvelle
