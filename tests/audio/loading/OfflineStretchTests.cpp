// The offline render of whole stems (length, alignment, key, channels, cancel, bad input) and the
// processor that renders a song's stems on its workers through the stretch cache.
#include "audio/loading/OfflineStretch.h"

#include "audio/loading/StretchCache.h"
#include "tests/support/AudioFixtures.h"
#include "tests/support/TempFolder.h"
#include "tests/support/ThreadGate.h"

#include <gtest/gtest.h>
#include <juce_audio_formats/juce_audio_formats.h>

#include <cmath>
#include <mutex>

namespace quorvelle::test
{
namespace
{
constexpr double rate = 48000.0;
constexpr int hop = 1440; // the offline render's analysis interval at 48 kHz


// The position of the largest magnitude of channel 0 in [from, to).
int peakAt (const juce::AudioBuffer<float>& buffer, int from, int to)
{
    from = std::max (0, from);
    to = std::min (buffer.getNumSamples(), to);
    int best = from;
    for (int i = from; i < to; ++i)
        if (std::abs (buffer.getSample (0, i)) > std::abs (buffer.getSample (0, best)))
            best = i;
    return best;
}

OfflineStretchSettings settings (double ratio, float semitones)
{
    OfflineStretchSettings s;
    s.ratio = ratio;
    s.semitones = semitones;
    s.sampleRate = rate;
    return s;
}
} // namespace

TEST (OfflineStretchRender, ResultHasTheStretchedLengthAndTheSourceChannels)
{
    const struct { int channels; int length; double ratio; float semitones; } rows[] = {
        { 1, 48000, 1.25, 0.0f }, { 2, 48001, 0.8, 2.0f }, { 4, 30000, 2.0, -12.0f }, { 2, 100000, 0.5, 12.0f }, { 1, 1000, 1.1, 0.5f },
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE (juce::String (row.channels) + " ch, r=" + juce::String (row.ratio) + ", st=" + juce::String (row.semitones));
        const auto source = makeSine (row.channels, row.length, rate, 440.0, 0.5f);
        const auto result = renderOfflineStretch (source, settings (row.ratio, row.semitones));
        ASSERT_TRUE (result.has_value());
        EXPECT_EQ (result->getNumChannels(), row.channels);
        EXPECT_EQ (result->getNumSamples(), (int) std::ceil (row.length / row.ratio));
        // Every channel carries the stem, not only the first two.
        for (int c = 0; c < row.channels; ++c)
            EXPECT_GT (result->getRMSLevel (c, 0, result->getNumSamples()), 0.1f) << "channel " << c;
    }
}

TEST (OfflineStretchRender, SmallBlocksHoldAGivenLengthToTheEnd)
{
    // The preloader's render: blocks of 1024 samples and a length rounded rather than raised.
    const struct { int length; double ratio; juce::int64 outputLength; } rows[] = {
        { 48004, 1.25, 38403 }, { 48000, 0.8, 60000 }, { 30001, 1.5, 20001 },
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE (juce::String (row.length) + " at " + juce::String (row.ratio));
        auto s = settings (row.ratio, 2.0f);
        s.blockSamples = 1024;
        s.outputLength = row.outputLength;
        const auto result = renderOfflineStretch (makeSine (1, row.length, rate, 440.0, 0.5f), s);
        ASSERT_TRUE (result.has_value());
        const int n = result->getNumSamples();
        EXPECT_EQ (n, row.outputLength);
        EXPECT_NEAR (measureFrequency (*result, n / 4, n / 2, rate), 493.88, 1.0);
        EXPECT_GT (result->getRMSLevel (0, n - 2400, 2400), 0.2f);
    }
}

TEST (OfflineStretchRender, KeyChangeMovesTheToneAndTheEndIsKept)
{
    for (const double ratio : { 1.0, 1.25 })
    {
        SCOPED_TRACE (ratio);
        const auto source = makeSine (2, 3 * (int) rate, rate, 440.0, 0.5f);
        const auto result = renderOfflineStretch (source, settings (ratio, 2.0f));
        ASSERT_TRUE (result.has_value());
        const int n = result->getNumSamples();
        EXPECT_NEAR (measureFrequency (*result, n / 4, n / 2, rate, 0), 493.88, 1.0);
        EXPECT_NEAR (measureFrequency (*result, n / 4, n / 2, rate, 1), 493.88, 1.0);
        // The last 0.1 s still holds the tone: the stretcher's delayed output was flushed out.
        EXPECT_GT (result->getRMSLevel (0, n - 4800, 4800), 0.2f);
    }
}

TEST (OfflineStretchRender, ClickTrainLandsOnTheStretchedBeatsFromSampleZeroToTheLast)
{
    constexpr int period = 4800;
    constexpr int clicks = 10;
    constexpr double ratio = 1.25;
    // The last click 200 samples before the end, well inside the stretcher's latency.
    const auto source = makeClickTrain (1, clicks * period + 200, period, 8);
    const auto result = renderOfflineStretch (source, settings (ratio, 0.0f));
    ASSERT_TRUE (result.has_value());
    for (int k = 0; k <= clicks; ++k)
    {
        const int expected = (int) std::lround (k * period / ratio);
        const int at = peakAt (*result, expected - period / 3, expected + period / 3);
        EXPECT_NEAR (at, expected, hop) << "click " << k;
        EXPECT_GT (std::abs (result->getSample (0, at)), 0.2f) << "click " << k;
    }
}

TEST (OfflineStretchRender, BadInputAndStopGiveNoResult)
{
    const auto sine = makeSine (2, 48000, rate, 440.0, 0.5f);
    const struct { const char* name; double ratio; float semitones; } rows[] = {
        { "ratio 0", 0.0, 0.0f }, { "negative ratio", -1.0, 0.0f }, { "ratio above 2", 2.5, 0.0f }, { "13 semitones", 1.0, 13.0f },
        { "infinite ratio", INFINITY, 0.0f }, { "NaN semitones", 1.1, NAN },
    };
    for (const auto& row : rows)
        EXPECT_FALSE (renderOfflineStretch (sine, settings (row.ratio, row.semitones)).has_value()) << row.name;
    EXPECT_FALSE (renderOfflineStretch (juce::AudioBuffer<float>(), settings (1.25, 0.0f)).has_value());

    int blocks = 0;
    EXPECT_FALSE (renderOfflineStretch (makeSine (1, 200000, rate, 440.0, 0.5f), settings (1.25, 0.0f), [&] { return ++blocks > 2; }).has_value());
    EXPECT_EQ (blocks, 3);
}

//==============================================================================
namespace
{
// A processor whose callbacks record the log, the progress reports and the finished jobs.
struct Recorder
{
    std::mutex lock;
    juce::StringArray lines;
    std::vector<std::array<int, 3>> progress;
    std::vector<std::shared_ptr<OfflineStretchProcessor::Result>> finished;

    OfflineStretchProcessor::Callbacks callbacks()
    {
        return { [this] (const juce::String& line)
                 {
                     const std::scoped_lock l (lock);
                     lines.add (line);
                 },
                 [this] (const juce::String&, int done, int total, int percent)
                 {
                     const std::scoped_lock l (lock);
                     progress.push_back ({ done, total, percent });
                 },
                 [this] (std::shared_ptr<OfflineStretchProcessor::Result> result)
                 {
                     const std::scoped_lock l (lock);
                     finished.push_back (std::move (result));
                 } };
    }
    size_t finishedCount()
    {
        const std::scoped_lock l (lock);
        return finished.size();
    }
    bool waitForFinished (size_t count, int timeoutMs = 60000)
    {
        for (int waited = 0; waited < timeoutMs && finishedCount() < count; waited += 5)
            juce::Thread::sleep (5);
        return finishedCount() >= count;
    }
    int linesContaining (const juce::String& fragment)
    {
        const std::scoped_lock l (lock);
        int n = 0;
        for (const auto& line : lines)
            n += line.contains (fragment) ? 1 : 0;
        return n;
    }
};

OfflineStretchProcessor::TrackInput floatTrack (const juce::String& id, const juce::AudioBuffer<float>& audio)
{
    OfflineStretchProcessor::TrackInput input;
    input.trackId = id;
    input.samples = std::make_shared<StemSamples>();
    input.samples->buffer = std::make_unique<juce::AudioBuffer<float>> (audio);
    input.samplesAreOriginal = true;
    input.weight = audio.getNumSamples();
    return input;
}

OfflineStretchProcessor::TrackInput int16Track (const juce::String& id, const juce::AudioBuffer<float>& audio)
{
    OfflineStretchProcessor::TrackInput input;
    input.trackId = id;
    input.samples = std::make_shared<StemSamples>();
    input.samples->int16Channels = std::make_unique<std::vector<Int16ChannelData>> ((size_t) audio.getNumChannels());
    for (int c = 0; c < audio.getNumChannels(); ++c)
    {
        auto& channel = (*input.samples->int16Channels)[(size_t) c];
        channel.allocate (audio.getNumSamples());
        for (int i = 0; i < audio.getNumSamples(); ++i)
            channel.samples[(size_t) i] = (int16_t) std::lround (audio.getSample (c, i) * 32767.0f);
    }
    input.samplesAreOriginal = true;
    input.weight = audio.getNumSamples();
    return input;
}

// A stem whose playing samples are already stretched: it is read again through its reload.
OfflineStretchProcessor::TrackInput reloadedTrack (const juce::String& id, const juce::AudioBuffer<float>& audio)
{
    OfflineStretchProcessor::TrackInput input;
    input.trackId = id;
    input.reloadOriginal = [audio] { return std::make_unique<juce::AudioBuffer<float>> (audio); };
    input.weight = audio.getNumSamples();
    return input;
}

OfflineStretchProcessor::Job job (const juce::File& root, double ratio, float semitones, int ticket = 1)
{
    OfflineStretchProcessor::Job j;
    j.songId = "song-1";
    j.ratio = ratio;
    j.semitones = semitones;
    j.ticket = ticket;
    j.sampleRate = rate;
    j.storageRoot = root;
    return j;
}

int wavSamples (const juce::File& file, int* channels = nullptr, int* bits = nullptr)
{
    juce::WavAudioFormat wav;
    std::unique_ptr<juce::AudioFormatReader> reader (wav.createReaderFor (file.createInputStream().release(), true));
    if (reader == nullptr)
        return -1;
    if (channels != nullptr)
        *channels = (int) reader->numChannels;
    if (bits != nullptr)
        *bits = (int) reader->bitsPerSample;
    return (int) reader->lengthInSamples;
}
} // namespace

TEST (OfflineStretchProcessor, EveryRoadToTheOriginalIsStretchedCachedAndReadBack)
{
    TempFolder root;
    Recorder recorder;
    OfflineStretchProcessor processor (recorder.callbacks());
    processor.hardwareThreads = 3;

    const auto stereo = makeSine (2, 96000, rate, 440.0, 0.5f);
    const auto mono = makeSine (1, 72000, rate, 330.0, 0.5f);
    auto first = job (root.folder(), 1.25, 2.0f);
    first.tracks = { floatTrack ("f", stereo), int16Track ("i", stereo), reloadedTrack ("r", mono), OfflineStretchProcessor::TrackInput { "none" } };
    processor.startJob (first);
    ASSERT_TRUE (recorder.waitForFinished (1));

    const auto& result = *recorder.finished[0];
    EXPECT_EQ (result.job.ticket, 1);
    ASSERT_EQ (result.outputs.size(), 4u);
    const struct { int index; const char* id; int channels; int length; } rows[] = { { 0, "f", 2, 96000 }, { 1, "i", 2, 96000 }, { 2, "r", 1, 72000 } };
    for (const auto& row : rows)
    {
        SCOPED_TRACE (row.id);
        ASSERT_NE (result.outputs[(size_t) row.index], nullptr);
        const auto stretched = (int) std::ceil (row.length / 1.25);
        EXPECT_EQ (result.outputs[(size_t) row.index]->getNumSamples(), stretched);
        EXPECT_EQ (result.outputs[(size_t) row.index]->getNumChannels(), row.channels);
        const auto file = stretchCachePath (root.folder(), "song-1", row.id, 1.25, 2.0f, rate);
        int channels = 0, bits = 0;
        EXPECT_EQ (wavSamples (file, &channels, &bits), stretched);
        EXPECT_EQ (channels, row.channels);
        EXPECT_EQ (bits, 16);
        EXPECT_FALSE (file.getSiblingFile (file.getFileName() + ".tmp").exists());
    }
    EXPECT_EQ (result.outputs[3], nullptr); // a track with no audio is counted done and left out
    EXPECT_EQ (recorder.linesContaining ("lazyReloads=2"), 1);

    {
        const std::scoped_lock l (recorder.lock);
        ASSERT_FALSE (recorder.progress.empty());
        EXPECT_EQ (recorder.progress.front(), (std::array<int, 3> { 0, 4, 0 }));
        EXPECT_EQ (recorder.progress.back(), (std::array<int, 3> { 4, 4, 100 }));
    }

    // The same request again reads every stretched stem from the cache.
    auto again = job (root.folder(), 1.25, 2.0f, 2);
    again.tracks = { floatTrack ("f", stereo), int16Track ("i", stereo), reloadedTrack ("r", mono) };
    processor.startJob (again);
    ASSERT_TRUE (recorder.waitForFinished (2));
    EXPECT_EQ (recorder.linesContaining ("cache HIT (disco)"), 3);
    EXPECT_EQ (recorder.finished[1]->outputs[2]->getNumSamples(), (int) std::ceil (72000 / 1.25));
}

TEST (OfflineStretchProcessor, BrokenCacheFilesAreRenderedAgainAndRewritten)
{
    TempFolder root;
    Recorder recorder;
    OfflineStretchProcessor processor (recorder.callbacks());
    const auto audio = makeSine (1, 48000, rate, 440.0, 0.5f);
    const auto header = stretchCachePath (root.folder(), "song-1", "header", 1.25, 0.0f, rate);
    const auto empty = stretchCachePath (root.folder(), "song-1", "empty", 1.25, 0.0f, rate);
    const auto folder = stretchCachePath (root.folder(), "song-1", "folder", 1.25, 0.0f, rate);
    ASSERT_TRUE (header.replaceWithText ("RIFF????WAVEnot a header"));
    {
        juce::WavAudioFormat wav;
        std::unique_ptr<juce::AudioFormatWriter> writer (wav.createWriterFor (empty.createOutputStream().release(), rate, 1, 16, {}, 0));
        ASSERT_NE (writer, nullptr);
    }
    ASSERT_TRUE (folder.createDirectory());

    auto j = job (root.folder(), 1.25, 0.0f);
    j.tracks = { floatTrack ("header", audio), floatTrack ("empty", audio), floatTrack ("folder", audio) };
    processor.startJob (j);
    ASSERT_TRUE (recorder.waitForFinished (1));
    EXPECT_EQ (recorder.linesContaining ("cache HIT"), 0);
    for (const auto* output : { recorder.finished[0]->outputs[0].get(), recorder.finished[0]->outputs[1].get(), recorder.finished[0]->outputs[2].get() })
    {
        ASSERT_NE (output, nullptr);
        EXPECT_EQ (output->getNumSamples(), 38400);
    }
    EXPECT_EQ (wavSamples (header), 38400);
    EXPECT_EQ (wavSamples (empty), 38400);
    // A folder at the name cannot be replaced: the write fails, the audio is still used.
    EXPECT_TRUE (folder.isDirectory());
    EXPECT_EQ (recorder.linesContaining ("[STRETCH-CACHE] WRITE FAILED"), 1);
}

TEST (OfflineStretchProcessor, NoOpTracksAreExactCopiesWithoutCacheFiles)
{
    TempFolder root;
    Recorder recorder;
    OfflineStretchProcessor processor (recorder.callbacks());
    const auto audio = makeNoise (2, 20000, 0.5f);
    auto drums = floatTrack ("drums", audio);
    drums.skipTranspose = true;
    auto j = job (root.folder(), 1.0, 2.0f);
    j.tracks = { drums, floatTrack ("keys", makeSine (1, 48000, rate, 440.0, 0.5f)) };
    processor.startJob (j);
    ASSERT_TRUE (recorder.waitForFinished (1));

    const auto& copy = *recorder.finished[0]->outputs[0];
    ASSERT_EQ (copy.getNumSamples(), audio.getNumSamples());
    for (int c = 0; c < 2; ++c)
        EXPECT_EQ (std::memcmp (copy.getReadPointer (c), audio.getReadPointer (c), sizeof (float) * (size_t) audio.getNumSamples()), 0);
    EXPECT_EQ (recorder.linesContaining ("trk=drums NO-OP (r=1, st=0)"), 1);
    EXPECT_FALSE (stretchCachePath (root.folder(), "song-1", "drums", 1.0, 0.0f, rate).exists());
    EXPECT_FALSE (stretchCachePath (root.folder(), "song-1", "drums", 1.0, 2.0f, rate).exists());
    // The pitched stem at ratio 1 is transposed and cached.
    EXPECT_EQ (wavSamples (stretchCachePath (root.folder(), "song-1", "keys", 1.0, 2.0f, rate)), 48000);
}

TEST (OfflineStretchProcessor, OfThreeQuickJobsTheFirstAndTheThirdRun)
{
    TempFolder root;
    Recorder recorder;
    OfflineStretchProcessor processor (recorder.callbacks());
    ThreadGate gate;
    processor.beforeTrackHook = [&] (const juce::String& id)
    {
        if (id == "held")
            gate.pass();
    };
    const auto audio = makeSine (1, 24000, rate, 440.0, 0.5f);
    for (int ticket = 1; ticket <= 3; ++ticket)
    {
        auto j = job (root.folder(), 1.0 + ticket * 0.1, 0.0f, ticket);
        j.tracks = { floatTrack (ticket == 1 ? "held" : "t", audio) };
        processor.startJob (j);
        if (ticket == 1)
        {
            ASSERT_TRUE (gate.waitUntilReached());
        }
    }
    gate.open();
    ASSERT_TRUE (recorder.waitForFinished (2));
    processor.cancelAndWait();
    ASSERT_EQ (recorder.finishedCount(), 2u);
    EXPECT_EQ (recorder.finished[0]->job.ticket, 1);
    EXPECT_EQ (recorder.finished[1]->job.ticket, 3);
}

TEST (OfflineStretchProcessor, CancelDuringAJobHandsNothingBack)
{
    TempFolder root;
    Recorder recorder;
    OfflineStretchProcessor processor (recorder.callbacks());
    processor.hardwareThreads = 3;
    ThreadGate gate;
    processor.beforeTrackHook = [&] (const juce::String&) { gate.pass(); };
    auto j = job (root.folder(), 1.25, 0.0f);
    j.tracks = { floatTrack ("a", makeSine (1, 480000, rate, 440.0, 0.5f)), floatTrack ("b", makeSine (1, 480000, rate, 440.0, 0.5f)) };
    processor.startJob (j);
    ASSERT_TRUE (gate.waitUntilReached (2));

    std::thread canceller ([&] { processor.cancelAndWait(); });
    while (! processor.threadShouldExit())
        juce::Thread::yield();
    gate.open();
    canceller.join();
    EXPECT_FALSE (processor.isThreadRunning());
    EXPECT_EQ (recorder.finishedCount(), 0u);
    EXPECT_EQ (recorder.linesContaining ("JOB DONE"), 0);

    // A later job starts the thread again.
    processor.startJob (j);
    EXPECT_TRUE (recorder.waitForFinished (1));
}

TEST (OfflineStretchProcessor, AJobStartedAsTheIdleThreadDecidesToEndStillRuns)
{
    TempFolder root;
    Recorder recorder;
    OfflineStretchProcessor processor (recorder.callbacks());
    processor.idleTimeoutMs = 20;
    ThreadGate atExit;
    processor.exitDecisionHook = [&] { atExit.pass(); };
    auto j = job (root.folder(), 1.0, 0.0f);
    j.tracks = { floatTrack ("a", makeSine (1, 1000, rate, 440.0, 0.5f)) };

    processor.startJob (j);
    ASSERT_TRUE (recorder.waitForFinished (1));
    ASSERT_TRUE (atExit.waitUntilReached());
    processor.startJob (j); // the thread is held at its decision to end
    atExit.open();
    EXPECT_TRUE (recorder.waitForFinished (2));

    // Once it has ended, the next job starts it again.
    processor.waitForExit();
    processor.startJob (j);
    EXPECT_TRUE (recorder.waitForFinished (3));
}
} // namespace quorvelle::test
