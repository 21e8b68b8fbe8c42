// The 16-bit decoder against the reference decoders: the same files as raw little-endian PCM from
// sox and flac must equal what readAllToInt16 holds, sample for sample.
#include "audio/loading/StemReaders.h"

#include "tests/support/AudioFixtures.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

namespace quorvelle::test
{
namespace
{
// Runs `command` through the shell with its output in `rawFile`; true on exit code 0.
bool runToFile (const juce::String& command, const juce::File& rawFile)
{
    juce::ChildProcess child;
    if (! child.start (juce::StringArray { "sh", "-c", command + " > '" + rawFile.getFullPathName() + "'" }))
        return false;
    child.waitForProcessToFinish (120000);
    return ! child.isRunning() && child.getExitCode() == 0;
}
} // namespace

TEST (StemReadersPeer, SixteenBitDecodesEqualSoxAndFlac)
{
    TempFolder temp;
    juce::AudioFormatManager formats;
    formats.registerBasicFormats();

    // Noise over more than two decode chunks, stereo, so chunk edges and interleaving both show.
    const auto noise = makeNoise (2, 300001, 0.8f, 7);
    const auto wav = temp / "noise.wav";
    const auto flac = temp / "noise.flac";
    ASSERT_TRUE (writeAudioFile (wav, noise, 44100.0, FixtureFormat::wav16));
    ASSERT_TRUE (writeAudioFile (flac, noise, 44100.0, FixtureFormat::flac16));

    const struct
    {
        juce::File file;
        juce::String command;
    } cases[] = {
        { wav, "sox '" + wav.getFullPathName() + "' -t raw -" },
        { flac, "flac -d -s --force-raw-format --endian=little --sign=signed -c '" + flac.getFullPathName() + "'" },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.command);
        const auto raw = temp / "out.raw";
        ASSERT_TRUE (runToFile (c.command, raw));
        juce::MemoryBlock bytes;
        ASSERT_TRUE (raw.loadFileAsData (bytes));

        std::unique_ptr<juce::AudioFormatReader> reader (formats.createReaderFor (c.file));
        ASSERT_NE (reader, nullptr);
        std::vector<Int16ChannelData> channels;
        ASSERT_TRUE (readAllToInt16 (reader.get(), channels, nullptr));
        ASSERT_EQ (channels.size(), 2u);
        ASSERT_EQ (bytes.getSize(), (size_t) channels[0].numSamples * 4);

        const auto* pcm = static_cast<const uint8_t*> (bytes.getData());
        for (int64_t i = 0; i < channels[0].numSamples; ++i)
            for (size_t ch = 0; ch < 2; ++ch)
            {
                const auto at = (size_t) (i * 4 + (int64_t) ch * 2);
                const auto expected = (int16_t) (pcm[at] | (pcm[at + 1] << 8));
                ASSERT_EQ (channels[ch].samples[(size_t) i], expected) << "sample " << i << " channel " << ch;
            }
    }
}
} // namespace quorvelle::test
