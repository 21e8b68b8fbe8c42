// The MP3 writer: every frame it writes is a 320 kbps constant-rate frame in stereo mode at the
// input rate, ffmpeg decodes the file back to the input's tone, an existing file is replaced, an
// unwritable folder leaves the writer closed, and the flush happens once.
#include "audio/loading/Mp3FileWriter.h"

#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <cmath>

namespace quorvelle::test
{
namespace
{
struct FrameHeader
{
    int bitrateIndex = -1, sampleRateIndex = -1, mode = -1, version = -1, layer = -1;
    bool padding = false;
};

// The header of an MPEG audio frame at `at`, when one starts there.
std::optional<FrameHeader> frameAt (const juce::MemoryBlock& bytes, size_t at)
{
    const auto* b = static_cast<const unsigned char*> (bytes.getData());
    if (at + 4 > bytes.getSize() || b[at] != 0xff || (b[at + 1] & 0xe0) != 0xe0)
        return std::nullopt;
    FrameHeader h;
    h.version = (b[at + 1] >> 3) & 3;
    h.layer = (b[at + 1] >> 1) & 3;
    h.bitrateIndex = b[at + 2] >> 4;
    h.sampleRateIndex = (b[at + 2] >> 2) & 3;
    h.padding = ((b[at + 2] >> 1) & 1) != 0;
    h.mode = b[at + 3] >> 6;
    return h;
}

// Skips an ID3v2 tag at the start, when there is one.
size_t firstFrame (const juce::MemoryBlock& bytes)
{
    const auto* b = static_cast<const unsigned char*> (bytes.getData());
    if (bytes.getSize() >= 10 && b[0] == 'I' && b[1] == 'D' && b[2] == '3')
        return 10 + (size_t) ((b[6] << 21) | (b[7] << 14) | (b[8] << 7) | b[9]);
    return 0;
}

std::vector<float> sine (int samples, double rate, double frequency, float amplitude)
{
    std::vector<float> out ((size_t) samples);
    for (int i = 0; i < samples; ++i)
        out[(size_t) i] = amplitude * (float) std::sin (2.0 * juce::MathConstants<double>::pi * frequency * i / rate);
    return out;
}

bool writeTone (const juce::File& file, double rate, int seconds)
{
    Mp3FileWriter writer (file, rate, 2, 320);
    if (! writer.isOpen())
        return false;
    const auto tone = sine ((int) rate * seconds, rate, 1000.0, 0.5f);
    for (size_t pos = 0; pos < tone.size(); pos += 4096)
        if (! writer.write (tone.data() + pos, tone.data() + pos, (int) std::min<size_t> (4096, tone.size() - pos)))
            return false;
    writer.finish();
    return true;
}
} // namespace

TEST (Mp3FileWriter, EveryFrameIsConstantRate320kbpsStereoModeAtTheInputRate)
{
    TempFolder temp;
    const struct { double rate; int sampleRateIndex; } rows[] = { { 44100.0, 0 }, { 48000.0, 1 } };
    for (const auto& row : rows)
    {
        SCOPED_TRACE (row.rate);
        const auto file = temp / "tone.mp3";
        ASSERT_TRUE (writeTone (file, row.rate, 2));

        juce::MemoryBlock bytes;
        ASSERT_TRUE (file.loadFileAsData (bytes));
        size_t at = firstFrame (bytes);
        int frames = 0;
        while (at < bytes.getSize())
        {
            const auto header = frameAt (bytes, at);
            ASSERT_TRUE (header.has_value()) << "no frame at byte " << at;
            EXPECT_EQ (header->version, 3);            // MPEG-1
            EXPECT_EQ (header->layer, 1);              // layer III
            EXPECT_EQ (header->bitrateIndex, 14);      // 320 kbps
            EXPECT_EQ (header->sampleRateIndex, row.sampleRateIndex);
            EXPECT_EQ (header->mode, 0);               // stereo, not joint stereo
            at += (size_t) (144 * 320000 / (int) row.rate) + (header->padding ? 1 : 0);
            ++frames;
        }
        EXPECT_EQ (at, bytes.getSize());
        EXPECT_GE (frames, (int) (2 * row.rate / 1152));
    }
}

TEST (Mp3FileWriter, FfmpegDecodesTheToneBack)
{
    TempFolder temp;
    const auto file = temp / "tone.mp3";
    ASSERT_TRUE (writeTone (file, 48000.0, 1));

    juce::ChildProcess ffmpeg;
    ASSERT_TRUE (ffmpeg.start (juce::StringArray { "ffmpeg", "-v", "error", "-i", file.getFullPathName(), "-f", "f32le", "-ac", "1", "-" }));
    juce::MemoryOutputStream pcm;
    char chunk[65536];
    for (int n; (n = ffmpeg.readProcessOutput (chunk, sizeof (chunk))) > 0;)
        pcm.write (chunk, (size_t) n);
    ASSERT_TRUE (ffmpeg.waitForProcessToFinish (30000));
    ASSERT_EQ (ffmpeg.getExitCode(), 0u);

    const auto* samples = static_cast<const float*> (pcm.getData());
    const auto count = (int) (pcm.getDataSize() / sizeof (float));
    ASSERT_GE (count, 40000);
    // Correlate the middle against the 1 kHz tone at its best phase: an MP3 round trip keeps it.
    double best = 0.0;
    for (int lag = 0; lag < 48; ++lag)
    {
        double dot = 0.0, energy = 0.0, ref = 0.0;
        for (int i = 10000; i < 30000; ++i)
        {
            const auto t = std::sin (2.0 * juce::MathConstants<double>::pi * 1000.0 * (i + lag) / 48000.0);
            dot += samples[i] * t;
            energy += samples[i] * samples[i];
            ref += t * t;
        }
        best = std::max (best, dot / std::sqrt (energy * ref));
    }
    EXPECT_GT (best, 0.99);
}

TEST (Mp3FileWriter, ReplacesAnExistingFileAndFlushesOnce)
{
    TempFolder temp;
    const auto file = temp / "out.mp3";
    ASSERT_TRUE (file.replaceWithText (juce::String::repeatedString ("old", 200000)));

    Mp3FileWriter writer (file, 44100.0, 2, 320);
    ASSERT_TRUE (writer.isOpen());
    const auto tone = sine (44100, 44100.0, 440.0, 0.25f);
    ASSERT_TRUE (writer.write (tone.data(), tone.data(), (int) tone.size()));
    EXPECT_FALSE (writer.write (tone.data(), tone.data(), 0));
    writer.finish();
    const auto size = file.getSize();
    writer.finish();
    EXPECT_EQ (file.getSize(), size);
    EXPECT_LT (size, 600000); // the old text is gone, not appended to

    juce::MemoryBlock bytes;
    ASSERT_TRUE (file.loadFileAsData (bytes));
    EXPECT_TRUE (frameAt (bytes, firstFrame (bytes)).has_value());
    EXPECT_FALSE (writer.write (tone.data(), tone.data(), 100)); // closed
}

TEST (Mp3FileWriter, AFolderThatCannotBeWrittenLeavesTheWriterClosed)
{
    TempFolder temp;
    const auto blocker = temp / "file";
    ASSERT_TRUE (blocker.replaceWithText ("a file, not a folder"));

    Mp3FileWriter writer (blocker.getChildFile ("out.mp3"), 44100.0, 2, 320);
    EXPECT_FALSE (writer.hasStream());
    EXPECT_FALSE (writer.hasEncoder());
    const float sample = 0.0f;
    EXPECT_FALSE (writer.write (&sample, &sample, 1));
}
} // namespace quorvelle::test

namespace quorvelle::test
{
namespace
{
// The samples per channel ffmpeg decodes from `file`, or -1.
int64_t decodedLength (const juce::File& file)
{
    juce::ChildProcess ffmpeg;
    if (! ffmpeg.start (juce::StringArray { "ffmpeg", "-v", "error", "-i", file.getFullPathName(), "-f", "s16le", "-ac", "1", "-" }))
        return -1;
    int64_t bytes = 0;
    char chunk[65536];
    for (int n; (n = ffmpeg.readProcessOutput (chunk, sizeof (chunk))) > 0;)
        bytes += n;
    if (! ffmpeg.waitForProcessToFinish (30000) || ffmpeg.getExitCode() != 0)
        return -1;
    return bytes / 2;
}
} // namespace

// The tag frame written over the blank first frame carries the encoder's delay and padding, so a
// decoder gives back exactly the samples written; rates MPEG-1 lacks are encoded at one it has, or
// as MPEG-2 at the highest bit rate it allows.
TEST (Mp3FileWriter, DecodesToTheWrittenLengthAtEveryRate)
{
    TempFolder temp;
    const struct
    {
        double rate;
        int encodedRate, version, bitrateIndex, sampleRateIndex;
        int64_t written, decoded, tolerance;
    } rows[] = {
        { 44100.0, 44100, 3, 14, 0, 100003, 100003, 0 }, // MPEG-1, 320 kbps
        { 48000.0, 48000, 3, 14, 1, 48001, 48001, 0 },
        { 96000.0, 48000, 3, 14, 1, 96000, 48000, 2 },   // resampled to 48 kHz
        { 22050.0, 22050, 2, 14, 0, 30000, 30000, 0 },   // MPEG-2: index 14 is 160 kbps
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE (row.rate);
        const auto file = temp / ("tone" + juce::String ((int) row.rate) + ".mp3");
        Mp3FileWriter writer (file, row.rate, 2, 320);
        ASSERT_TRUE (writer.isOpen());
        EXPECT_EQ (writer.getOutputSampleRate(), row.encodedRate);
        const auto tone = sine ((int) row.written, row.rate, 440.0, 0.4f);
        for (int64_t pos = 0; pos < row.written; pos += 4096)
            ASSERT_TRUE (writer.write (tone.data() + pos, tone.data() + pos, (int) std::min<int64_t> (4096, row.written - pos)));
        ASSERT_TRUE (writer.finish());

        juce::MemoryBlock bytes;
        ASSERT_TRUE (file.loadFileAsData (bytes));
        const auto header = frameAt (bytes, firstFrame (bytes));
        ASSERT_TRUE (header.has_value());
        EXPECT_EQ (header->version, row.version);
        EXPECT_EQ (header->bitrateIndex, row.bitrateIndex);
        EXPECT_EQ (header->sampleRateIndex, row.sampleRateIndex);
        EXPECT_EQ (header->mode, 0);
        EXPECT_NEAR ((double) decodedLength (file), (double) row.decoded, (double) row.tolerance);
    }
}

// A write that fails, or a writer dropped before it finished, leaves an earlier file at the path as
// it was and no temporary file beside it.
TEST (Mp3FileWriter, AFailedOrAbandonedFileKeepsTheEarlierOne)
{
    TempFolder temp;
    const auto file = temp / "out.mp3";
    const auto tone = sine (44100, 44100.0, 440.0, 0.25f);
    const struct
    {
        const char* name;
        juce::int64 failAtByte;
        bool finish;
    } cases[] = { { "disk full", 20000, true }, { "dropped unfinished", -1, false } };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        ASSERT_TRUE (file.replaceWithText ("earlier"));
        platform::setWriteFailureAtByteForTesting (c.failAtByte);
        {
            Mp3FileWriter writer (file, 44100.0, 2, 320);
            ASSERT_TRUE (writer.isOpen());
            bool ok = true;
            for (int round = 0; round < 3; ++round)
                ok = writer.write (tone.data(), tone.data(), (int) tone.size()) && ok;
            if (c.finish)
            {
                ok = writer.finish() && ok;
                EXPECT_FALSE (ok);
                EXPECT_TRUE (writer.getErrorText().isNotEmpty());
            }
        }
        platform::setWriteFailureAtByteForTesting (-1);
        EXPECT_EQ (file.loadFileAsString(), "earlier");
        EXPECT_EQ (temp.folder().getNumberOfChildFiles (juce::File::findFiles), 1);
    }
}
} // namespace quorvelle::test
