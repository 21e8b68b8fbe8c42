// The stem readers on generated files: the url policy per form, the lead pad, the 16-bit and
// float decoders, and the range decoder's chunk marks.
#include "audio/loading/StemReaders.h"

#include "tests/support/AudioFixtures.h"
#include "tests/support/CapturingLogger.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

namespace quorvelle::test
{
namespace
{
// Writes 32-bit left-aligned integer samples (the writer keeps the upper `bits`) to a WAV file.
bool writeIntWav (const juce::File& file, const std::vector<std::vector<int>>& channels, double rate, int bits)
{
    file.deleteFile();
    juce::WavAudioFormat wav;
    std::unique_ptr<juce::OutputStream> out (file.createOutputStream());
    if (out == nullptr)
        return false;
    std::unique_ptr<juce::AudioFormatWriter> writer (wav.createWriterFor (out.get(), rate, (unsigned) channels.size(), bits, {}, 0));
    if (writer == nullptr)
        return false;
    out.release();
    std::vector<const int*> pointers;
    for (const auto& c : channels)
        pointers.push_back (c.data());
    pointers.push_back (nullptr);
    return writer->write (pointers.data(), (int) channels.front().size());
}

// A stereo 16-bit ramp of `length` samples: left i, right -i (wrapping), left-aligned in 32 bits.
std::vector<std::vector<int>> rampChannels (int length)
{
    std::vector<std::vector<int>> channels (2, std::vector<int> ((size_t) length));
    for (int i = 0; i < length; ++i)
    {
        channels[0][(size_t) i] = (int) (int16_t) (i * 7) * 65536;
        channels[1][(size_t) i] = (int) (int16_t) (-i * 3 + 11) * 65536;
    }
    return channels;
}

class StemReaders : public ::testing::Test
{
protected:
    StemReaders() { formats.registerBasicFormats(); }

    std::unique_ptr<juce::AudioFormatReader> open (const juce::File& file)
    {
        return std::unique_ptr<juce::AudioFormatReader> (formats.createReaderFor (file));
    }

    juce::AudioFormatManager formats;
    TempFolder temp;
};
} // namespace

TEST (StemUrlPolicy, AdmitsOnlyTheLoopbackFormsOnTheParsedHost)
{
    const struct
    {
        const char* url;
        bool admitted;
    } cases[] = {
        { "http://localhost/x.wav", true },
        { "http://localhost:5173/stems/x.wav", true },
        { "https://localhost:8443/x.wav", true },
        { "http://127.0.0.1:1/x.wav", true },
        { "http://127.0.0.1", true },
        { "HTTP://LocalHost/x.wav", true },
        { "https://127.0.0.1/x.wav", false },
        { "http://localhost.evil.test/x.wav", false },
        { "http://127.0.0.1.evil.test/x.wav", false },
        { "http://localhost@evil.test/x.wav", false },
        { "http://user:pw@localhost/x.wav", false },
        { "http://localhost:80@evil.test/x.wav", false },
        { "http://localhost#@evil.test/x.wav", false },
        { "http://localhost?@evil.test/x.wav", false },
        { "http://localhost\\@evil.test/x.wav", false },
        { "http://localhost:80abc/x.wav", false },
        { "http://localhost:99999/x.wav", false },
        { "http://[::1]/x.wav", false },
        { "http://127.0.0.2/x.wav", false },
        { "http://evil.test/x.wav", false },
        { "ftp://localhost/x.wav", false },
        { "smb://127.0.0.1/x.wav", false },
        { "file://localhost/x.wav", false },
        { "httpx://localhost/x.wav", false },
        { "localhost/x.wav", false },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.url);
        EXPECT_EQ (isAdmittedLoopbackUrl (c.url), c.admitted);
    }
}

TEST_F (StemReaders, RefusedUrlsLogBlockedAndNeverFetch)
{
    const char* refused[] = { "ftp://localhost/x.wav", "https://127.0.0.1/x.wav", "http://localhost.evil.test/x.wav",
                              "http://localhost@evil.test/x.wav", "gopher://127.0.0.1/x.wav", "httpstems/a.wav" };
    for (const auto* url : refused)
    {
        SCOPED_TRACE (url);
        juce::StringArray lines;
        StemReaderCopy copy { "TrackLoader: ", "Downloading: ", true, false, 15000, [&] (const juce::String& l) { lines.add (l); }, {} };
        juce::MemoryBlock fetched;
        EXPECT_EQ (openStemReader (formats, url, copy, &fetched), nullptr);
        ASSERT_EQ (lines.size(), 1);
        EXPECT_EQ (lines[0], "TrackLoader: BLOCKED remote URL (dato corrupto): " + juce::String (url));
        EXPECT_EQ (fetched.getSize(), 0u);
    }
}

TEST_F (StemReaders, PathsAndRelativeTextGoWhereThePlatformPutsThem)
{
    const auto file = temp / "a.wav";
    ASSERT_TRUE (writeIntWav (file, rampChannels (1000), 44100.0, 16));
    const auto path = file.getFullPathName();

    const struct
    {
        juce::String url;
        bool opens;
        juce::String expectedLine; // a line the copy must have written
    } cases[] = {
        { path, true, "TrackLoader: Absolute path. Exists: YES -> " + path },
        { "file://" + path, true, "TrackLoader: file:// URL. Path: [" + path + "] Exists: YES Size: " + juce::String (file.getSize()) },
        { "file://" + path + ".missing", false, "TrackLoader: formatManager.createReaderFor RETURNED NULL for: " + path + ".missing" },
        { "/no/such/stem.wav", false, "TrackLoader: Absolute path. Exists: NO -> /no/such/stem.wav" },
        // Nothing listens on the development origin inside the test's namespace.
        { "stems/a.wav", false, "TrackLoader: Downloading: http://127.0.0.1:5173/stems/a.wav" },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.url);
        juce::StringArray lines;
        StemReaderCopy copy { "TrackLoader: ", "Downloading: ", true, true, 15000, [&] (const juce::String& l) { lines.add (l); }, {} };
        juce::MemoryBlock fetched;
        const auto reader = openStemReader (formats, c.url, copy, &fetched);
        EXPECT_EQ (reader != nullptr, c.opens);
        EXPECT_EQ (lines[0], "TrackLoader: createReader input URL: [" + c.url + "]");
        EXPECT_TRUE (lines.contains (c.expectedLine)) << lines.joinIntoString ("\n");
        EXPECT_FALSE (lines.joinIntoString ("\n").contains ("BLOCKED"));
    }

    EXPECT_NE (openLocalReader (formats, "file://" + path), nullptr);
    EXPECT_NE (openLocalReader (formats, path), nullptr);
    EXPECT_EQ (openLocalReader (formats, temp.folder().getFullPathName()), nullptr); // a folder
    EXPECT_EQ (openLocalReader (formats, "http://localhost/x.wav"), nullptr);
}

TEST_F (StemReaders, LeadPadIsExactSilenceThenTheSourceBitExact)
{
    const int length = 200000; // the pad's end falls inside the first decode chunk, the source crosses the second
    const auto source = rampChannels (length);
    const auto file = temp / "ramp.wav";
    ASSERT_TRUE (writeIntWav (file, source, 44100.0, 16));

    auto reader = createPaddedReader (open (file), 0.5);
    ASSERT_NE (dynamic_cast<PaddedAudioFormatReader*> (reader.get()), nullptr);
    ASSERT_EQ (reader->lengthInSamples, length + 22050);

    std::vector<Int16ChannelData> channels;
    ASSERT_TRUE (readAllToInt16 (reader.get(), channels, nullptr));
    ASSERT_EQ (channels.size(), 2u);
    for (size_t c = 0; c < 2; ++c)
    {
        const auto* samples = channels[c].samples.get();
        for (int i = 0; i < 22050; ++i)
            ASSERT_EQ (samples[i], 0) << "channel " << c << " pad sample " << i;
        for (int i = 0; i < length; ++i)
            ASSERT_EQ (samples[22050 + i], (int16_t) (source[c][(size_t) i] >> 16)) << "channel " << c << " sample " << i;
    }

    // No pad: a zero or negative time, or a reader without a rate.
    for (const double seconds : { 0.0, -1.0, 0.000001 })
    {
        SCOPED_TRACE (seconds);
        auto plain = createPaddedReader (open (file), seconds);
        EXPECT_EQ (dynamic_cast<PaddedAudioFormatReader*> (plain.get()), nullptr);
    }
    auto rateless = open (file);
    rateless->sampleRate = 0.0;
    EXPECT_EQ (dynamic_cast<PaddedAudioFormatReader*> (createPaddedReader (std::move (rateless), 0.5).get()), nullptr);
    EXPECT_EQ (createPaddedReader (nullptr, 0.5), nullptr);
}

TEST_F (StemReaders, SixteenBitDecodeKeepsTheUpperBitsAndRefusesFloatSources)
{
    std::vector<std::vector<int>> deep (1, std::vector<int> (5000));
    for (int i = 0; i < 5000; ++i)
        deep[0][(size_t) i] = (int) (int16_t) (i * 13 - 20000) * 65536 + ((i * 37) & 0xff) * 256; // 24-bit with low bits set
    const auto wav24 = temp / "deep.wav";
    ASSERT_TRUE (writeIntWav (wav24, deep, 48000.0, 24));

    auto reader = open (wav24);
    ASSERT_EQ (reader->bitsPerSample, 24u);
    std::vector<Int16ChannelData> channels;
    ASSERT_TRUE (readAllToInt16 (reader.get(), channels, nullptr));
    for (int i = 0; i < 5000; ++i)
        ASSERT_EQ (channels[0].samples[(size_t) i], (int16_t) (i * 13 - 20000)) << i;

    const auto floatFile = temp / "float.wav";
    ASSERT_TRUE (writeAudioFile (floatFile, makeSine (1, 4000, 48000.0, 440.0, 0.5f), 48000.0, FixtureFormat::wav16));
    {
        juce::WavAudioFormat wav;
        floatFile.deleteFile();
        std::unique_ptr<juce::OutputStream> out (floatFile.createOutputStream());
        std::unique_ptr<juce::AudioFormatWriter> writer (wav.createWriterFor (out.get(), 48000.0, 1, 32, {}, 0));
        ASSERT_NE (writer, nullptr);
        out.release();
        const auto sine = makeSine (1, 4000, 48000.0, 440.0, 0.5f);
        ASSERT_TRUE (writer->writeFromAudioSampleBuffer (sine, 0, 4000));
    }
    auto floatReader = open (floatFile);
    ASSERT_TRUE (floatReader->usesFloatingPointData);
    std::vector<Int16ChannelData> refused;
    EXPECT_FALSE (readAllToInt16 (floatReader.get(), refused, nullptr));
    std::vector<std::vector<int>> scratch;
    EXPECT_FALSE (readRangeToInt16 (floatReader.get(), refused, scratch, 0, 100, nullptr, nullptr));

    // The float road takes it, and a float decode of a 16-bit file is the 16-bit value / 32768.
    juce::AudioBuffer<float> decoded (1, 4000);
    EXPECT_TRUE (readAllToFloat (floatReader.get(), decoded, 4000, nullptr));
    EXPECT_NEAR (decoded.getMagnitude (0, 4000), 0.5f, 1.0e-3f);
}

TEST_F (StemReaders, RangeDecodeMarksWholeChunksAndSkipsMarkedOnes)
{
    constexpr int chunk = stemDecodeChunk;
    const int total = 3 * chunk + 1000; // the last chunk is partial
    const auto source = rampChannels (total);
    const auto file = temp / "long.wav";
    ASSERT_TRUE (writeIntWav (file, source, 44100.0, 16));

    constexpr int16_t sentinel = 0x5555;
    const struct
    {
        const char* name;
        juce::int64 start, length;
        std::vector<int> premarked;
        std::vector<int> written, marked; // chunks whose samples are decoded; chunks marked after
    } cases[] = {
        { "inside the second to inside the third", chunk + 10, chunk + 20, {}, { 1, 2 }, { 1, 2 } },
        { "to the end marks the partial chunk", 3 * chunk + 5, 10, {}, { 3 }, { 3 } },
        { "whole stem skips a marked chunk", 0, total, { 1 }, { 0, 2, 3 }, { 0, 1, 2, 3 } },
        { "all marked writes nothing", 0, total, { 0, 1, 2, 3 }, {}, { 0, 1, 2, 3 } },
        { "empty range", 500, 0, {}, {}, {} },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        auto reader = open (file);
        std::vector<Int16ChannelData> channels (2);
        for (auto& channel : channels)
        {
            channel.allocate (total);
            std::fill_n (channel.samples.get(), total, sentinel);
        }
        ChunkLoadMap map;
        map.reset (total);
        for (const int k : c.premarked)
            map.markLoaded (k);
        std::vector<std::vector<int>> scratch (2, std::vector<int> ((size_t) chunk));

        ASSERT_TRUE (readRangeToInt16 (reader.get(), channels, scratch, c.start, c.length, &map, nullptr));

        for (int k = 0; k < 4; ++k)
        {
            const bool written = std::find (c.written.begin(), c.written.end(), k) != c.written.end();
            const bool marked = std::find (c.marked.begin(), c.marked.end(), k) != c.marked.end();
            EXPECT_EQ (map.isLoaded (k), marked) << "chunk " << k;
            const int from = k * chunk, to = std::min (total, (k + 1) * chunk);
            for (size_t ch = 0; ch < 2; ++ch)
                for (int i = from; i < to; ++i)
                {
                    const auto expected = written ? (int16_t) (source[ch][(size_t) i] >> 16) : sentinel;
                    ASSERT_EQ (channels[ch].samples[(size_t) i], expected) << "chunk " << k << " channel " << ch << " sample " << i;
                }
        }
    }

    // Channels of another shape are refused rather than reallocated under a player.
    auto reader = open (file);
    std::vector<Int16ChannelData> shortChannels (2);
    for (auto& channel : shortChannels)
        channel.allocate (total - 1);
    std::vector<std::vector<int>> scratch;
    EXPECT_FALSE (readRangeToInt16 (reader.get(), shortChannels, scratch, 0, 10, nullptr, nullptr));
}

TEST_F (StemReaders, DecodersStopOnRequest)
{
    const auto file = temp / "ramp.wav";
    ASSERT_TRUE (writeIntWav (file, rampChannels (3 * stemDecodeChunk), 44100.0, 16));
    int checks = 0;
    const StopCheck stopAfterFirstChunk { [&] { return ++checks > 1; } };

    auto reader = open (file);
    std::vector<Int16ChannelData> channels;
    EXPECT_FALSE (readAllToInt16 (reader.get(), channels, stopAfterFirstChunk));
    EXPECT_EQ (checks, 2);

    checks = 0;
    juce::AudioBuffer<float> buffer (2, 3 * stemDecodeChunk);
    EXPECT_FALSE (readAllToFloat (reader.get(), buffer, 3 * stemDecodeChunk, stopAfterFirstChunk));
    EXPECT_EQ (checks, 2);

    checks = 0;
    ChunkLoadMap map;
    map.reset (3 * stemDecodeChunk);
    std::vector<std::vector<int>> scratch;
    EXPECT_FALSE (readRangeToInt16 (reader.get(), channels, scratch, 0, 3 * stemDecodeChunk, &map, stopAfterFirstChunk));
    EXPECT_TRUE (map.isLoaded (0));
    EXPECT_FALSE (map.isLoaded (1)); // decoded before the stop stays marked; nothing after it
}

TEST (StemRateConversion, KeepsDurationAndPitchInBothForms)
{
    // One second of a 1 kHz sine at 48 kHz becomes one second at 44.1 kHz, same phase.
    const auto sine = makeSine (1, 48000, 48000.0, 1000.0, 0.5f);
    juce::AudioBuffer<float> floats (sine);
    ASSERT_TRUE (convertSampleRate (floats, 48000.0, 44100.0, StopCheck {}));
    EXPECT_EQ (floats.getNumSamples(), 44100);

    std::vector<Int16ChannelData> ints (1);
    ints[0].allocate (48000);
    for (int i = 0; i < 48000; ++i)
        ints[0].samples[(size_t) i] = (int16_t) std::lrint (sine.getSample (0, i) * 32768.0f);
    ASSERT_TRUE (convertSampleRate (ints, 48000.0, 44100.0, StopCheck {}));
    ASSERT_EQ (ints[0].numSamples, 44100);

    // Away from the edges each output sample is the sine at its own time, within the half sample
    // that the interpolator's whole-sample delay compensation leaves (0.036 at this slope); a
    // wrong ratio or an uncompensated delay is off by far more within a few hundred samples.
    for (int i = 1000; i < 43000; i += 97)
    {
        const auto expected = 0.5 * std::sin (2.0 * juce::MathConstants<double>::pi * 1000.0 * i / 44100.0);
        ASSERT_NEAR (floats.getSample (0, i), expected, 0.04) << i;
        ASSERT_NEAR (ints[0].samples[(size_t) i] / 32768.0, expected, 0.04) << i;
    }
}
} // namespace quorvelle::test
