// The song load on the Virtual device: the track loader's workers, progress and errors, and the
// completion that builds the stems into the graph and answers SESSION_LOADED.
#include "audio/engine/AudioEngine.h"

#include "tests/audio/engine/EngineSongFixture.h"
#include "tests/support/AudioFixtures.h"

#include <gtest/gtest.h>

#include <mutex>

namespace quorvelle::test
{
namespace
{
class EngineLoad : public EngineSongTest
{
protected:
    // Loads `tracks` (JSON text) and pumps the message loop until SESSION_LOADED arrives.
    juce::var load (const juce::String& tracksJson, const juce::String& songId = "song-1", int numBars = 800,
                    const char* timeSignature = "[4, 4]")
    {
        startLoad (tracksJson, songId, numBars, timeSignature);
        return waitForSessionLoaded();
    }
    void startLoad (const juce::String& tracksJson, const juce::String& songId, int numBars = 800, const char* timeSignature = "[4, 4]")
    {
        engine.loadSession (juce::JSON::parse (tracksJson), juce::var(), juce::var(), juce::JSON::parse (timeSignature), juce::var(), 120.0,
                            numBars, songId, true, 0.0);
    }
    juce::var waitForSessionLoaded (size_t count = 1)
    {
        EXPECT_TRUE (runMessageLoopUntil ([&] { return eventsOf ("SESSION_LOADED").size() >= count; }, 60000));
        const auto loaded = eventsOf ("SESSION_LOADED");
        return loaded.empty() ? juce::var() : loaded.back();
    }

    // Waits without running the message loop, so what the loader posts stays queued.
    bool waitUntilLoaderIdle()
    {
        for (int i = 0; i < 6000 && engine.getTrackLoader().isBusy(); ++i)
            juce::Thread::sleep (10);
        return ! engine.getTrackLoader().isBusy();
    }
    juce::File scripted (const juce::String& name, double rate, int bits, juce::int64 length, juce::int64 failAt)
    {
        return writeScriptedStem (temp / (name + ".scripted"), rate, bits, length, failAt);
    }
    juce::File wav (const juce::String& name, double rate, int samples, FixtureFormat format = FixtureFormat::wav16)
    {
        const auto file = temp / name;
        EXPECT_TRUE (writeAudioFile (file, makeSine (2, samples, rate, 440.0, 0.5f), rate, format));
        return file;
    }

    // Inputs across every bus mixer.
    int busInputs()
    {
        int n = 0;
        for (const auto& [name, bus] : engine.getGroupBuses())
            n += bus->mixer.numInputs();
        return n;
    }
};
} // namespace

TEST_F (EngineLoad, WorkerCountFollowsStemsAndCpus)
{
    const struct
    {
        int stems, cpus, expected;
    } cases[] = { { 3, 16, 3 }, { 20, 16, 8 }, { 0, 16, 1 }, { 5, 2, 2 }, { 1, 1, 1 }, { 8, 8, 8 } };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (testing::Message() << c.stems << " stems, " << c.cpus << " cpus");
        engine.getTrackLoader().setCpuCountForTesting (c.cpus);
        EXPECT_EQ (engine.getTrackLoader().workerCount (c.stems), c.expected);
    }
}

TEST_F (EngineLoad, MixedStemsLoadWithProgressAnErrorAndTheSessionAnswer)
{
    const auto wav16 = wav ("a.wav", 48000.0, 48000);
    const auto wav24 = wav ("b.wav", 48000.0, 48000, FixtureFormat::wav24);
    const auto flac = wav ("c.flac", 48000.0, 24000, FixtureFormat::flac16);
    const auto missing = temp / "missing.wav";
    const auto loaded = load ("[" + stem ("a", wav16) + "," + stem ("b", wav24, "BASS") + "," + stem ("c", flac, "DRUMS") + ","
                              + stem ("d", missing) + "]");

    const auto progress = eventsOf ("LOAD_PROGRESS");
    ASSERT_EQ (progress.size(), 4u);
    for (int i = 0; i < 4; ++i)
    {
        SCOPED_TRACE (i);
        EXPECT_EQ ((int) progress[(size_t) i]["trackIndex"], i);
        EXPECT_EQ ((int) progress[(size_t) i]["progress"], (i + 1) * 25);
        EXPECT_EQ ((int) progress[(size_t) i]["totalTracks"], 4);
        EXPECT_EQ (progress[(size_t) i]["songId"].toString(), "song-1");
    }

    const auto errors = eventsOf ("TRACK_LOAD_ERROR");
    ASSERT_EQ (errors.size(), 1u);
    EXPECT_EQ (errors[0]["trackId"].toString(), "d");
    EXPECT_EQ (errors[0]["diag"].toString(), "exists=NO path=" + missing.getFullPathName());
    const auto url = "file://" + missing.getFullPathName();
    EXPECT_EQ (errors[0]["urlB64"].toString(), juce::Base64::toBase64 (url.toRawUTF8(), strlen (url.toRawUTF8())));

    auto* object = loaded.getDynamicObject();
    ASSERT_NE (object, nullptr);
    juce::StringArray keys;
    for (const auto& p : object->getProperties())
        keys.add (p.name.toString());
    EXPECT_EQ (keys.joinIntoString (","), "action,trackCount,sampleRate,audioDuration,songId");
    EXPECT_EQ ((int) loaded["trackCount"], 3);
    EXPECT_EQ ((double) loaded["sampleRate"], 48000.0);
    EXPECT_DOUBLE_EQ ((double) loaded["audioDuration"], 1.0);
    EXPECT_EQ (loaded["songId"].toString(), "song-1");
    EXPECT_EQ (engine.getActiveSongId(), "song-1");

    // Sources of 16 bits stay 16-bit; the 24-bit one is float.
    const auto& tracks = engine.getLoadedTracks();
    ASSERT_EQ (tracks.size(), 3u);
    EXPECT_TRUE (tracks.at ("a")->isInt16);
    EXPECT_TRUE (tracks.at ("c")->isInt16);
    EXPECT_FALSE (tracks.at ("b")->isInt16);
    EXPECT_NE (tracks.at ("b")->buffer, nullptr);
    EXPECT_EQ (tracks.at ("b")->bus, "bass");
    EXPECT_EQ (tracks.at ("c")->bus, "drums");
    EXPECT_TRUE (tracks.at ("c")->isPercussive);
    EXPECT_EQ (busInputs(), 3);
    EXPECT_TRUE (engine.isStretchBypassed());
}

TEST_F (EngineLoad, AFailedDecodeCostsOnlyItsStemAndEmptyReadersLoadSilent)
{
    engine.getTrackLoader().setCpuCountForTesting (1); // stems in request order
    const auto loaded = load ("[" + stem ("good", scripted ("good", 48000.0, 16, 300000, -1)) + ","
                              + stem ("breaks16", scripted ("breaks16", 48000.0, 16, 300000, 140000)) + ","
                              + stem ("breaksFloat", scripted ("breaksFloat", 48000.0, 32, 300000, 1)) + ","
                              + stem ("empty16", scripted ("empty16", 48000.0, 16, 0, -1)) + ","
                              + stem ("emptyFloat", scripted ("emptyFloat", 48000.0, 32, 0, -1)) + "]");

    const auto errors = eventsOf ("TRACK_LOAD_ERROR");
    ASSERT_EQ (errors.size(), 2u);
    for (const auto& e : errors)
        EXPECT_EQ (e["diag"].toString(), "read FAILED a mitad de decode");
    EXPECT_EQ (errors[0]["trackId"].toString(), "breaks16");
    EXPECT_EQ (errors[1]["trackId"].toString(), "breaksFloat");

    const auto progress = eventsOf ("LOAD_PROGRESS");
    ASSERT_EQ (progress.size(), 5u);
    EXPECT_EQ ((int) progress.back()["progress"], 100);

    EXPECT_EQ ((int) loaded["trackCount"], 3);
    const auto& tracks = engine.getLoadedTracks();
    EXPECT_EQ (tracks.count ("good"), 1u);
    EXPECT_EQ (tracks.count ("empty16"), 1u);
    EXPECT_EQ (tracks.count ("emptyFloat"), 1u);
    EXPECT_EQ (tracks.at ("empty16")->getNumSamples(), 0);
    EXPECT_EQ (log.count ("TrackLoader: Reader for empty16 has no audio data"), 1);
    EXPECT_EQ (busInputs(), 3);
}

TEST_F (EngineLoad, DuplicateIdsLeaveOneTrackAndNoOrphanChain)
{
    const auto first = wav ("first.wav", 48000.0, 4800);
    const auto second = wav ("second.wav", 48000.0, 9600);
    const auto loaded = load ("[" + stem ("same", first, "BASS") + "," + stem ("same", second, "DRUMS") + "]");

    EXPECT_EQ ((int) loaded["trackCount"], 1);
    ASSERT_EQ (engine.getLoadedTracks().size(), 1u);
    EXPECT_EQ (engine.getLoadedTracks().at ("same")->getNumSamples(), 9600); // the later one
    EXPECT_EQ (engine.getGroupBus ("bass")->mixer.numInputs(), 0);
    EXPECT_EQ (engine.getGroupBus ("drums")->mixer.numInputs(), 1);
    EXPECT_EQ (busInputs(), 1);
}

TEST_F (EngineLoad, SongRateComesFromTheFirstStemAndOtherRatesAreConverted)
{
    engine.getTrackLoader().setCpuCountForTesting (1); // the first stem opens first
    const auto loaded = load ("[" + stem ("cd", wav ("cd.wav", 44100.0, 44100)) + ","
                              + stem ("dat", wav ("dat.flac", 48000.0, 48000, FixtureFormat::flac16)) + ","
                              + stem ("deep", wav ("deep.wav", 48000.0, 48000, FixtureFormat::wav24)) + "]");

    EXPECT_EQ ((double) loaded["sampleRate"], 44100.0);
    EXPECT_DOUBLE_EQ ((double) loaded["audioDuration"], 1.0);
    const auto& tracks = engine.getLoadedTracks();
    EXPECT_EQ (tracks.at ("dat")->getNumSamples(), 44100);
    EXPECT_TRUE (tracks.at ("dat")->isInt16);
    EXPECT_EQ (tracks.at ("deep")->getNumSamples(), 44100);
    EXPECT_FALSE (tracks.at ("deep")->isInt16);

    // 44.1 kHz song on the 48 kHz device: the song resampler converts.
    ASSERT_NE (engine.getSongResampler(), nullptr);
    EXPECT_DOUBLE_EQ (engine.getSongResampler()->getRatio(), 0.91875);
}

TEST_F (EngineLoad, StemlessSongsRunOnTheirBarsAndTracksThatAreNotAnArrayAnswerAtOnce)
{
    const auto loaded = load ("[]", "clickpad", 32);
    EXPECT_EQ ((int) loaded["trackCount"], 0);
    EXPECT_EQ ((double) loaded["sampleRate"], 48000.0);
    EXPECT_DOUBLE_EQ ((double) loaded["audioDuration"], 94.0);
    EXPECT_EQ (log.count ("AudioEngine: Click+Pad virtual clock enabled"), 1);

    clearEvents();
    startLoad ("{\"not\": \"an array\"}", "odd");
    const auto zero = eventsOf ("SESSION_LOADED"); // sent at once, no message loop needed
    ASSERT_EQ (zero.size(), 1u);
    EXPECT_EQ ((int) zero[0]["trackCount"], 0);
    EXPECT_EQ ((double) zero[0]["sampleRate"], 48000.0);
    EXPECT_EQ ((double) zero[0]["audioDuration"], 0.0);
    EXPECT_EQ (zero[0]["songId"].toString(), "odd");
    EXPECT_EQ (log.count ("AudioEngine: loadSession - tracks is not an array"), 1);
}

TEST_F (EngineLoad, AStemOnAnUnknownBusPlaysOnAux)
{
    load ("[" + stem ("x", wav ("x.wav", 48000.0, 4800), "THEREMIN", ", \"busOverride\": \"nowhere\"") + "]");
    EXPECT_EQ (engine.getLoadedTracks().at ("x")->bus, "aux");
    EXPECT_EQ (engine.getGroupBus ("aux")->mixer.numInputs(), 1);
}

TEST_F (EngineLoad, OnlyTheLatestOfSeveralLoadsAnswers)
{
    const auto file = wav ("s.wav", 48000.0, 48000);
    const auto tracks = "[" + stem ("s", file) + "]";

    // A result that reached the message queue before the next load is dropped by its ticket.
    startLoad (tracks, "first");
    ASSERT_TRUE (waitUntilLoaderIdle()); // its result posted, not yet run
    const auto firstTicket = engine.getLoadTicket();
    startLoad (tracks, "second");
    auto loaded = waitForSessionLoaded();
    EXPECT_EQ (loaded["songId"].toString(), "second");
    EXPECT_TRUE (runMessageLoopUntil ([&]
                                      {
                                          return log.count ("finalizeTrackLoad: ABORTING - superseded (ticket " + juce::String (firstTicket)
                                                            + " vs " + juce::String (firstTicket + 1) + ")")
                                                 == 1;
                                      }));

    // Twenty loads in a row: the runs replaced while they decode post nothing.
    clearEvents();
    for (int i = 0; i < 20; ++i)
        startLoad (tracks, "burst-" + juce::String (i));
    loaded = waitForSessionLoaded();
    EXPECT_EQ (loaded["songId"].toString(), "burst-19");
    ASSERT_TRUE (waitUntilLoaderIdle());
    drainMessageQueue(); // anything the runs posted has arrived now
    EXPECT_EQ (eventsOf ("SESSION_LOADED").size(), 1u);
    EXPECT_EQ (engine.getLoadedTracks().size(), 1u);
    EXPECT_EQ (busInputs(), 1);
}
} // namespace quorvelle::test
