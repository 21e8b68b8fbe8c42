#pragma once

#include <juce_audio_formats/juce_audio_formats.h>

namespace quorvelle::test
{
// A test-only format ("*.scripted"): the file's text "rate bits length failAt" describes a mono
// ramp whose reads fail from sample `failAt` on (-1: never), so a decode can fail mid-way.
class ScriptedFormat final : public juce::AudioFormat
{
public:
    ScriptedFormat() : juce::AudioFormat ("Scripted", ".scripted") {}
    juce::Array<int> getPossibleSampleRates() override { return { 44100, 48000 }; }
    juce::Array<int> getPossibleBitDepths() override { return { 16, 32 }; }
    bool canDoStereo() override { return false; }
    bool canDoMono() override { return true; }

    juce::AudioFormatReader* createReaderFor (juce::InputStream* stream, bool deleteStreamIfOpeningFails) override
    {
        const auto words = juce::StringArray::fromTokens (stream->readEntireStreamAsString(), " ", "");
        if (words.size() != 4)
        {
            if (deleteStreamIfOpeningFails)
                delete stream;
            return nullptr;
        }
        return new Reader (stream, words[0].getDoubleValue(), words[1].getIntValue(), words[2].getLargeIntValue(), words[3].getLargeIntValue());
    }

    juce::AudioFormatWriter* createWriterFor (juce::OutputStream*, double, unsigned int, int, const juce::StringPairArray&, int) override
    {
        return nullptr;
    }

private:
    struct Reader final : juce::AudioFormatReader
    {
        Reader (juce::InputStream* s, double rate, int bits, juce::int64 length, juce::int64 failFrom)
            : juce::AudioFormatReader (s, "Scripted"), failAt (failFrom)
        {
            sampleRate = rate;
            bitsPerSample = (unsigned) bits;
            usesFloatingPointData = bits == 32;
            lengthInSamples = length;
            numChannels = length > 0 ? 1u : 0u;
        }
        bool readSamples (int* const* dest, int numDest, int offset, juce::int64 start, int n) override
        {
            if (failAt >= 0 && start + n > failAt)
                return false;
            for (int c = 0; c < numDest; ++c)
                if (dest[c] != nullptr)
                    for (int i = 0; i < n; ++i)
                        dest[c][offset + i] = (int) ((start + i) % 1000) * 65536;
            return true;
        }
        const juce::int64 failAt;
    };
};

// Writes a "*.scripted" file describing such a stem.
inline juce::File writeScriptedStem (const juce::File& file, double rate, int bits, juce::int64 length, juce::int64 failAt)
{
    file.replaceWithText (juce::String (rate) + " " + juce::String (bits) + " " + juce::String (length) + " " + juce::String (failAt));
    return file;
}
} // namespace quorvelle::test
