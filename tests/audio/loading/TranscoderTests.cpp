// The transcoder with its own format manager and a storage root in a temporary folder: where
// each import lands, what it holds, the raw fallback, cancellation and failing writes.
#include "audio/loading/Transcoder.h"

#include "platform/CheckedWrite.h"
#include "tests/support/AudioFixtures.h"
#include "tests/support/CapturingLogger.h"
#include "tests/support/TempFolder.h"

#include <juce_cryptography/juce_cryptography.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace quorvelle::test
{
namespace
{
class Transcoder : public ::testing::Test
{
protected:
    Transcoder()
    {
        formats.registerBasicFormats();
        root = temp / "root";
        thread = std::make_unique<TranscoderThread> (formats, [this] { return root; }, [this] (const juce::var& event)
        {
            std::scoped_lock sl (lock);
            events.push_back (event);
        });
    }
    ~Transcoder() override
    {
        thread.reset();
        platform::setWriteFailureAtByteForTesting (-1);
    }

    TranscodeJob pathJob (const juce::String& id, const juce::File& source, const juce::String& trackId, const juce::String& subfolder = {})
    {
        TranscodeJob job;
        job.id = id;
        job.trackId = trackId;
        job.subfolder = subfolder;
        job.filename = source.getFileName();
        job.sourcePath = source.getFullPathName();
        return job;
    }

    std::vector<juce::var> eventsFor (const juce::String& id, const juce::String& action) const
    {
        std::scoped_lock sl (lock);
        std::vector<juce::var> found;
        for (const auto& e : events)
            if (e.getProperty ("id", {}).toString() == id && e.getProperty ("action", {}).toString() == action)
                found.push_back (e);
        return found;
    }

    // The job's TRANSCODE_COMPLETE, once it arrived (bounded wait).
    juce::var completion (const juce::String& id)
    {
        for (int i = 0; i < 3000; ++i)
        {
            if (const auto found = eventsFor (id, "TRANSCODE_COMPLETE"); ! found.empty())
                return found.front();
            juce::Thread::sleep (10);
        }
        return {};
    }

    juce::var run (TranscodeJob job)
    {
        const auto id = job.id;
        thread->enqueue (std::move (job));
        return completion (id);
    }

    TempFolder temp;
    juce::File root;
    CapturingLogger logger;
    juce::AudioFormatManager formats;
    mutable std::mutex lock;
    std::vector<juce::var> events;
    std::unique_ptr<TranscoderThread> thread;
};

juce::String sha256 (const juce::File& file)
{
    juce::FileInputStream in (file);
    return juce::SHA256 (in).toHexString();
}

TEST_F (Transcoder, TargetsAreNamedAfterTheFileAndTrackAndStayBelowTheRoot)
{
    const auto tone = makeSine (2, 4410, 44100.0, 440.0, 0.5f);
    const struct { const char* sourceName; const char* trackId; const char* subfolder; juce::String expected; } cases[] = {
        { "Intro Mix B.wav", "t1", "", "Intro Mix B_t1.flac" },
        { "*?.wav", "t2", "", "t2.flac" },
        { "noext", "t3", "Songs//abc\\stems", "Songs/abc/stems/noext_t3.flac" },
        { "x.wav", "../../x", "a/../../b", "a/b/x_....x.flac" },
        { "long.wav", "t4", "", juce::String::repeatedString ("L", 64) + "_t4.flac" },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.sourceName);
        auto source = (temp / "sources").getChildFile (c.sourceName);
        if (juce::String (c.sourceName) == "long.wav")
            source = (temp / "sources").getChildFile (juce::String::repeatedString ("L", 100) + ".wav");
        ASSERT_TRUE (source.getParentDirectory().createDirectory());
        ASSERT_TRUE (writeAudioFile (source, tone, 44100.0, FixtureFormat::wav16));

        const auto event = run (pathJob (c.trackId, source, c.trackId, c.subfolder));
        ASSERT_TRUE (event.isObject());
        EXPECT_TRUE (static_cast<bool> (event.getProperty ("transcoded", {}))) << juce::JSON::toString (event);
        const auto expected = root.getChildFile (c.expected);
        EXPECT_EQ (event.getProperty ("path", {}).toString(), expected.getFullPathName());
        EXPECT_TRUE (expected.existsAsFile());
        EXPECT_TRUE (source.existsAsFile()) << "a source is deleted only when asked";
    }
    EXPECT_EQ (temp.folder().findChildFiles (juce::File::findFiles, false, "*").size(), 0) << "nothing lands beside the root";
}

TEST_F (Transcoder, ConvertsToCdRateAndKeepsCdAudioBitExact)
{
    const auto at48 = temp / "a48.wav";
    const int n48 = 48000 * 2 + 17;
    ASSERT_TRUE (writeAudioFile (at48, makeSine (2, n48, 48000.0, 1000.0, 0.5f), 48000.0, FixtureFormat::wav16));
    auto event = run (pathJob ("r", at48, "t1"));
    ASSERT_TRUE (static_cast<bool> (event.getProperty ("transcoded", {}))) << juce::JSON::toString (event);
    double rate = 0;
    const auto converted = readAudioFile (juce::File (event.getProperty ("path", {}).toString()), &rate);
    EXPECT_EQ (rate, 44100.0);
    EXPECT_EQ (converted.getNumSamples(), (int) ((juce::int64) n48 * 44100 / 48000));
    EXPECT_EQ (converted.getNumChannels(), 2);
    EXPECT_EQ (static_cast<double> (event.getProperty ("sampleRate", {})), 44100.0);
    EXPECT_EQ (static_cast<int> (event.getProperty ("bitDepth", {})), 16);
    EXPECT_EQ (event.getProperty ("outputFormat", {}).toString(), "flac");
    EXPECT_EQ (event.getProperty ("contentHash", {}).toString(), sha256 (juce::File (event.getProperty ("path", {}).toString())));
    EXPECT_TRUE (logger.text().contains ("Transcoder: a48.wav | 48000Hz -> 44100Hz | 16bit -> 16bit | ch=2 | resample=yes"));

    // Progress climbs from 10 to 95 through the resampled blocks.
    const auto progress = eventsFor ("r", "TRANSCODE_PROGRESS");
    ASSERT_FALSE (progress.empty());
    EXPECT_EQ (static_cast<int> (progress.front().getProperty ("progress", {})), 10);
    EXPECT_EQ (static_cast<int> (progress.back().getProperty ("progress", {})), 95);
    EXPECT_EQ (progress.back().getProperty ("message", {}).toString(), "Finalizando...");

    const auto cd = temp / "cd.wav";
    const auto noise = makeNoise (2, 44100 + 5, 0.7f, 4);
    ASSERT_TRUE (writeAudioFile (cd, noise, 44100.0, FixtureFormat::wav16));
    event = run (pathJob ("cd", cd, "t2"));
    const auto original = readAudioFile (cd);
    const auto copy = readAudioFile (juce::File (event.getProperty ("path", {}).toString()));
    ASSERT_EQ (copy.getNumSamples(), original.getNumSamples());
    for (int c = 0; c < 2; ++c)
        for (int i = 0; i < original.getNumSamples(); ++i)
            ASSERT_EQ (copy.getSample (c, i), original.getSample (c, i)) << c << ":" << i;
}

TEST_F (Transcoder, UnreadableImportsAreKeptAsTheyCame)
{
    const auto garbage = temp / "voice memo.m4a";
    ASSERT_TRUE (garbage.replaceWithText ("this is no audio at all"));
    auto event = run (pathJob ("g", garbage, "t1"));
    const auto kept = root.getChildFile ("t1_voice memo.m4a");
    EXPECT_EQ (event.getProperty ("path", {}).toString(), kept.getFullPathName());
    EXPECT_EQ (event.getProperty ("error", {}).toString(), "Transcode fallback: reader_null (formato no soportado o archivo corrupto)");
    EXPECT_FALSE (static_cast<bool> (event.getProperty ("transcoded", {})));
    EXPECT_EQ (event.getProperty ("outputFormat", {}).toString(), "m4a");
    EXPECT_EQ (event.getProperty ("contentHash", {}).toString(), sha256 (garbage));
    EXPECT_EQ (static_cast<juce::int64> (event.getProperty ("sizeBytes", {})), garbage.getSize());
    EXPECT_EQ (kept.loadFileAsString(), "this is no audio at all");

    // A Base64 job: bad text, and text holding the same unreadable bytes.
    TranscodeJob bad;
    bad.id = "b1";
    bad.trackId = "t2";
    bad.filename = "x.wav";
    bad.base64 = "not base64!";
    event = run (bad);
    EXPECT_EQ (juce::JSON::toString (event, true),
               "{\"action\": \"TRANSCODE_COMPLETE\", \"id\": \"b1\", \"trackId\": \"t2\", \"url\": \"\", \"path\": \"\", \"urlB64\": \"\", \"pathB64\": \"\", "
               "\"transcoded\": false, \"outputFormat\": \"\", \"error\": \"Base64 decode failed\"}");

    TranscodeJob raw = bad;
    raw.id = "b2";
    raw.filename = "../../raw.mp3";
    raw.base64 = juce::Base64::toBase64 ("ID3 junk", 8);
    event = run (raw);
    EXPECT_EQ (event.getProperty ("path", {}).toString(), root.getChildFile ("t2_....raw.mp3").getFullPathName());
    EXPECT_EQ (root.getChildFile ("t2_....raw.mp3").loadFileAsString(), "ID3 junk");
}

TEST_F (Transcoder, TemporarySourcesGoAfterEveryOutcome)
{
    const auto good = temp / "good.wav";
    ASSERT_TRUE (writeAudioFile (good, makeSine (1, 4410, 44100.0, 440.0, 0.3f), 44100.0, FixtureFormat::wav16));
    const auto bad = temp / "bad.ogg";
    ASSERT_TRUE (bad.replaceWithText ("junk"));
    for (const auto& source : { good, bad })
    {
        auto job = pathJob (source.getFileName(), source, "t");
        job.deleteSourceAfter = true;
        const auto event = run (job);
        EXPECT_TRUE (juce::File (event.getProperty ("path", {}).toString()).existsAsFile());
        EXPECT_FALSE (source.exists());
    }
}

TEST_F (Transcoder, AFailedWriteKeepsTheEarlierFlac)
{
    const auto source = temp / "song.wav";
    ASSERT_TRUE (writeAudioFile (source, makeNoise (2, 44100 * 2, 0.5f, 8), 44100.0, FixtureFormat::wav16));
    const auto first = run (pathJob ("first", source, "t1"));
    const juce::File flac (first.getProperty ("path", {}).toString());
    ASSERT_TRUE (flac.existsAsFile());
    const auto before = sha256 (flac);

    ASSERT_TRUE (writeAudioFile (source, makeNoise (2, 44100 * 2, 0.5f, 9), 44100.0, FixtureFormat::wav16));
    platform::setWriteFailureAtByteForTesting (1000);
    const auto second = run (pathJob ("second", source, "t1"));
    platform::setWriteFailureAtByteForTesting (-1);

    EXPECT_EQ (second.getProperty ("error", {}).toString(), "Transcode fallback: write_failed");
    EXPECT_EQ (second.getProperty ("path", {}).toString(), "") << "the raw copy could not be written either";
    EXPECT_EQ (sha256 (flac), before);
    EXPECT_EQ (root.findChildFiles (juce::File::findFiles, true, "*").size(), 1) << "no temporary or partial file is left";
}

TEST_F (Transcoder, CancelReportsEveryQueuedJobAtOnce)
{
    // The first job holds in its read of a FIFO that the test keeps open for writing.
    const auto fifo = temp / "held.wav";
    ASSERT_EQ (::mkfifo (fifo.getFullPathName().toRawUTF8(), 0600), 0);
    const int holder = ::open (fifo.getFullPathName().toRawUTF8(), O_RDWR);
    ASSERT_GE (holder, 0);

    thread->enqueue (pathJob ("held", fifo, "t0"));
    for (int i = 0; i < 3000 && eventsFor ("held", "TRANSCODE_PROGRESS").empty(); ++i)
        juce::Thread::sleep (10);
    ASSERT_FALSE (eventsFor ("held", "TRANSCODE_PROGRESS").empty());

    const auto queued = temp / "queued.wav";
    ASSERT_TRUE (writeAudioFile (queued, makeSine (1, 441, 44100.0, 440.0, 0.3f), 44100.0, FixtureFormat::wav16));
    for (const char* id : { "q1", "q2", "q3" })
    {
        auto job = pathJob (id, queued, id);
        job.deleteSourceAfter = juce::String (id) == "q3";
        thread->enqueue (job);
    }
    thread->cancelAll();
    for (const char* id : { "q1", "q2", "q3" })
    {
        SCOPED_TRACE (id);
        const auto done = eventsFor (id, "TRANSCODE_COMPLETE");
        ASSERT_EQ (done.size(), 1u) << "reported by the cancel itself";
        EXPECT_EQ (done[0].getProperty ("error", {}).toString(), "Cancelled");
        EXPECT_FALSE (done[0].hasProperty ("contentHash"));
    }
    EXPECT_FALSE (queued.exists()) << "a temporary source goes with its cancelled job";

    ::close (holder);
    EXPECT_TRUE (completion ("held").isObject());
    for (const char* name : { "queued_q1.flac", "queued_q2.flac", "queued_q3.flac" })
        EXPECT_FALSE (root.getChildFile (name).exists()) << "cancelled jobs write nothing";
}
} // namespace
} // namespace quorvelle::test
