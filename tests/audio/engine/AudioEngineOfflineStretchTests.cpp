// APPLY_STRETCH on a loaded song: the checks and their answers, the bypass, a finished job swapped
// into the tracks, the cache on the way, and the races with newer requests, bypasses and resets.
#include "audio/engine/AudioEngine.h"

#include "audio/loading/StretchCache.h"
#include "tests/audio/engine/EngineSongFixture.h"
#include "tests/support/AudioFixtures.h"
#include "tests/support/ThreadGate.h"

#include <gtest/gtest.h>

#include <cmath>
#include <mutex>
#include <thread>

namespace quorvelle::test
{
namespace
{
constexpr double rate = 48000.0;
constexpr int stemSamples = 96000;

class EngineOfflineStretch : public EngineSongTest
{
protected:
    void SetUp() override
    {
        getStorageRoot().getChildFile ("Songs").deleteRecursively();
        EngineSongTest::SetUp();
    }
    void TearDown() override
    {
        getStorageRoot().getChildFile ("Songs").deleteRecursively();
        EngineSongTest::TearDown();
    }

    int linesContaining (const juce::String& fragment) const
    {
        int n = 0;
        for (const auto& e : eventsOf ("DEBUG_LOG"))
            n += e.getProperty ("message", {}).toString().contains (fragment) ? 1 : 0;
        return n;
    }

    // A song at 120 bpm of a 16-bit stereo 440 Hz stem and a 24-bit mono 330 Hz stem.
    void loadSong()
    {
        const auto stereo = temp / "keys.wav";
        const auto mono = temp / "bass.wav";
        ASSERT_TRUE (writeAudioFile (stereo, makeSine (2, stemSamples, rate, 440.0, 0.5f), rate, FixtureFormat::wav16));
        ASSERT_TRUE (writeAudioFile (mono, makeSine (1, stemSamples, rate, 330.0, 0.5f), rate, FixtureFormat::wav24));
        engine.loadSession (juce::JSON::parse ("[" + stem ("keys", stereo) + ", " + stem ("bass", mono) + "]"), {}, {},
                            juce::JSON::parse ("[4, 4]"), {}, 120.0, 8, "song-1", true, 0.0);
        ASSERT_TRUE (runMessageLoopUntil ([&] { return ! eventsOf ("SESSION_LOADED").empty(); }, 60000));
        ASSERT_EQ (engine.getLoadedTracks().size(), 2u);
        clearEvents();
    }

    bool waitForComplete (size_t count = 1)
    {
        return runMessageLoopUntil ([&] { return eventsOf ("STRETCH_COMPLETE").size() >= count; }, 120000);
    }

    const AudioEngine::LoadedTrack& track (const juce::String& id) { return *engine.getLoadedTracks().at (id); }

    // Opens `gate` from another thread once the processor is asked to stop (a bypass or a reset
    // waits on the message thread for the held job to end).
    std::thread openWhenStopped (ThreadGate& gate)
    {
        return std::thread ([this, &gate]
        {
            auto& processor = engine.getStretchProcessor();
            for (int i = 0; i < 20000 && ! processor.threadShouldExit(); ++i)
                juce::Thread::sleep (1);
            gate.open();
        });
    }
};
} // namespace

TEST_F (EngineOfflineStretch, RequestsOutsideTheRangeOrWithoutASongAreRejected)
{
    engine.applyStretch (132.0, 0.0f);
    ASSERT_EQ (eventsOf ("STRETCH_REJECTED").size(), 1u);
    EXPECT_EQ (eventsOf ("STRETCH_REJECTED")[0].getProperty ("reason", {}).toString(), "emptyTracks");

    loadSong();
    const struct { double bpm; float semitones; } rows[] = {
        { 0.0, 0.0f }, { -5.0, 0.0f }, { 250.0, 0.0f }, { 120.0, 13.0f }, { INFINITY, 0.0f }, { 120.0, NAN }, { NAN, 1.0f },
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE (juce::String (row.bpm) + " bpm, " + juce::String (row.semitones) + " st");
        clearEvents();
        engine.applyStretch (row.bpm, row.semitones);
        const auto rejected = eventsOf ("STRETCH_REJECTED");
        ASSERT_EQ (rejected.size(), 1u);
        EXPECT_EQ (rejected[0].getProperty ("reason", {}).toString(), "invalidArgs");
        EXPECT_EQ (rejected[0].getProperty ("songId", {}).toString(), "song-1");
        EXPECT_TRUE (eventsOf ("STRETCH_STARTED").empty());
        EXPECT_EQ (linesContaining ("[APPLY-STRETCH-REJECTED] reason=invalidArgs"), 1);
    }

    clearEvents();
    engine.getMasterTransport().start();
    engine.applyStretch (132.0, 0.0f);
    engine.getMasterTransport().stop();
    ASSERT_EQ (eventsOf ("STRETCH_REJECTED").size(), 1u);
    EXPECT_EQ (eventsOf ("STRETCH_REJECTED")[0].getProperty ("reason", {}).toString(), "isPlaying");
    EXPECT_EQ (engine.getCurrentBpm(), 120.0);
}

TEST_F (EngineOfflineStretch, TheSongsOwnTempoAndKeyIsABypass)
{
    loadSong();
    for (const float semitones : { 0.0f, 0.0005f })
    {
        clearEvents();
        engine.applyStretch (120.0, semitones);
        ASSERT_EQ (eventsOf ("STRETCH_COMPLETE").size(), 1u);
        EXPECT_EQ (eventsOf ("STRETCH_COMPLETE")[0].getProperty ("songId", {}).toString(), "bypass");
        EXPECT_TRUE (eventsOf ("STRETCH_STARTED").empty());
        EXPECT_EQ (track ("keys").getNumSamples(), stemSamples);
        EXPECT_TRUE (engine.isStretchBypassed());
    }
}

TEST_F (EngineOfflineStretch, AJobSwapsTheStretchedStemsInAndABypassRestoresThem)
{
    loadSong();
    engine.applyStretch (132.0, 2.0f);
    const auto started = eventsOf ("STRETCH_STARTED");
    ASSERT_EQ (started.size(), 1u);
    EXPECT_EQ (started[0].getProperty ("songId", {}).toString(), "song-1");
    EXPECT_EQ ((int) started[0].getProperty ("totalTracks", {}), 2);
    ASSERT_TRUE (waitForComplete());

    // Progress from {0 done, 0 %} to {2 done, 100 %}, all before the completion with the song id.
    std::vector<juce::var> progress;
    size_t completeAt = 0;
    const auto all = allEvents();
    for (size_t i = 0; i < all.size(); ++i)
    {
        if (actionOf (all[i]) == "STRETCH_PROGRESS")
            progress.push_back (all[i]);
        if (actionOf (all[i]) == "STRETCH_COMPLETE")
            completeAt = i;
    }
    ASSERT_GE (progress.size(), 2u);
    EXPECT_EQ ((int) progress.front().getProperty ("tracksDone", {}), 0);
    EXPECT_EQ ((int) progress.front().getProperty ("percent", {}), 0);
    EXPECT_EQ ((int) progress.back().getProperty ("tracksDone", {}), 2);
    EXPECT_EQ ((int) progress.back().getProperty ("percent", {}), 100);
    EXPECT_EQ (actionOf (all[completeAt]), "STRETCH_COMPLETE");
    EXPECT_EQ (all[completeAt].getProperty ("songId", {}).toString(), "song-1");
    EXPECT_EQ (linesContaining ("| match=YES"), 1);

    const int stretched = (int) std::ceil (stemSamples / 1.1);
    const struct { const char* id; int channels; double frequency; } rows[] = { { "keys", 2, 440.0 }, { "bass", 1, 330.0 } };
    for (const auto& row : rows)
    {
        SCOPED_TRACE (row.id);
        const auto& t = track (row.id);
        ASSERT_NE (t.buffer, nullptr);
        EXPECT_EQ (t.buffer->getNumSamples(), stretched);
        EXPECT_EQ (t.buffer->getNumChannels(), row.channels);
        EXPECT_EQ (t.int16Channels, nullptr);
        EXPECT_NEAR (measureFrequency (*t.buffer, stretched / 4, stretched / 2, rate), row.frequency * std::pow (2.0, 2.0 / 12.0), 1.0);
        EXPECT_EQ (t.source->getTotalLength(), stretched);
        const auto file = stretchCachePath (getStorageRoot(), "song-1", row.id, 1.1, 2.0f, rate);
        EXPECT_EQ (file.getFileName(), juce::String (row.id) + "_110000_2000_48000_v4.wav");
        EXPECT_TRUE (file.existsAsFile());
    }
    EXPECT_DOUBLE_EQ (engine.getCurrentBpm(), 132.0);
    EXPECT_TRUE (engine.isStretchBypassed());

    // Back to the song's own tempo: the unstretched stems play again.
    clearEvents();
    engine.applyStretch (120.0, 0.0f);
    ASSERT_EQ (eventsOf ("STRETCH_COMPLETE").size(), 1u);
    EXPECT_EQ (eventsOf ("STRETCH_COMPLETE")[0].getProperty ("songId", {}).toString(), "bypass");
    for (const auto& row : rows)
    {
        EXPECT_EQ (track (row.id).getNumSamples(), stemSamples) << row.id;
        EXPECT_EQ (track (row.id).getNumChannels(), row.channels) << row.id;
        EXPECT_EQ (track (row.id).source->getTotalLength(), stemSamples) << row.id;
    }
    EXPECT_TRUE (track ("keys").isInt16);
    EXPECT_FALSE (track ("bass").isInt16);

    // The same request again comes from the cache.
    clearEvents();
    engine.applyStretch (132.0, 2.0f);
    ASSERT_TRUE (waitForComplete());
    EXPECT_EQ (linesContaining ("cache HIT (disco)"), 2);
    EXPECT_EQ (track ("bass").getNumSamples(), stretched);
}

TEST_F (EngineOfflineStretch, TheMemoryAdmissionRefusesOrNarrowsAJob)
{
    loadSong();
    // The song as float: keys 2 × 96000 × 4 + bass 1 × 96000 × 4 = 1,152,000 bytes. At 132 bpm the
    // job counts 1152000 / 1.1 = 1,047,272 bytes of audio and 3 × 768,000 per worker (keys is the
    // largest stem); with 8 hardware threads it wants 2 workers.
    constexpr juce::int64 reserve = 629145600, audio = 1047272, perWorker = 2304000;
    engine.getStretchProcessor().hardwareThreads = 8;
    std::atomic<juce::uint64> available { 0 };
    engine.memoryProbe = [&] { return available.load(); };

    const struct { const char* name; juce::uint64 available; const char* refusedOrDegraded; const char* jobLine; } rows[] = {
        { "unknown", ~juce::uint64 (0), nullptr, "workers=2 " },
        { "two workers fit", reserve + audio + 2 * perWorker, nullptr, "workers=2 " },
        { "one worker fits",
          reserve + audio + 2 * perWorker - 1,
          "[ADMISSION] APPLY_STRETCH degradado por memoria | workers=1/2 peak=3MB avail=605MB",
          "[ADMISSION] stretch workers clamped by memory: 1/2 (peak~3MB)" },
        { "nothing fits", reserve + audio + perWorker - 1,
          "[ADMISSION] APPLY_STRETCH rechazado por memoria | peak=3MB avail=603MB reserve=600MB (ni con 1 worker)", nullptr },
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE (row.name);
        clearEvents();
        available = row.available;
        engine.applyStretch (132.0, 1.0f);
        if (row.jobLine == nullptr)
        {
            const auto rejected = eventsOf ("STRETCH_REJECTED");
            ASSERT_EQ (rejected.size(), 1u);
            EXPECT_EQ (rejected[0].getProperty ("reason", {}).toString(), "lowMemory");
            EXPECT_EQ (linesContaining (row.refusedOrDegraded), 1);
            EXPECT_TRUE (eventsOf ("STRETCH_STARTED").empty());
            EXPECT_EQ (engine.getCurrentSemitones(), 0.0f);
            EXPECT_EQ (track ("keys").getNumSamples(), stemSamples);
            continue;
        }
        ASSERT_EQ (eventsOf ("STRETCH_STARTED").size(), 1u);
        EXPECT_EQ (linesContaining ("[ADMISSION] APPLY_STRETCH"), row.refusedOrDegraded != nullptr ? 1 : 0);
        if (row.refusedOrDegraded != nullptr)
        {
            EXPECT_EQ (linesContaining (row.refusedOrDegraded), 1);
        }
        ASSERT_TRUE (waitForComplete());
        EXPECT_EQ (linesContaining (row.jobLine), 1);
        EXPECT_EQ (track ("keys").getNumSamples(), (int) std::ceil (stemSamples / 1.1));
        engine.applyStretch (120.0, 0.0f); // back to the unstretched stems for the next row
    }
}

TEST_F (EngineOfflineStretch, OfThreeQuickRequestsOnlyTheThirdIsInstalled)
{
    loadSong();
    ThreadGate gate;
    std::atomic<bool> holdNext { true };
    engine.getStretchProcessor().beforeTrackHook = [&] (const juce::String&)
    {
        if (holdNext.exchange (false))
            gate.pass();
    };
    engine.applyStretch (108.0, 0.0f);
    ASSERT_TRUE (gate.waitUntilReached());
    engine.applyStretch (132.0, 0.0f);
    engine.applyStretch (150.0, 1.0f);
    EXPECT_EQ (eventsOf ("STRETCH_STARTED").size(), 3u);
    gate.open();

    ASSERT_TRUE (runMessageLoopUntil ([&] { return linesContaining ("finalizeStretch") >= 2; }, 120000));
    runMessageLoopFor (200);
    EXPECT_EQ (linesContaining ("finalizeStretch"), 2);
    EXPECT_EQ (linesContaining ("| match=NO"), 1);
    EXPECT_EQ (linesContaining ("| match=YES"), 1);
    EXPECT_EQ (linesContaining ("r=1.1000"), 0); // the second never ran
    EXPECT_DOUBLE_EQ (engine.getCurrentBpm(), 150.0);
    EXPECT_EQ (track ("keys").getNumSamples(), (int) std::ceil (stemSamples / 1.25));
    ASSERT_EQ (eventsOf ("STRETCH_COMPLETE").size(), 1u);
}

TEST_F (EngineOfflineStretch, ABypassOrAResetDuringAJobInstallsNothing)
{
    const struct { const char* name; bool reset; const char* completion; } rows[] = { { "bypass", false, "bypass" }, { "reset", true, "cancelled" } };
    for (const auto& row : rows)
    {
        SCOPED_TRACE (row.name);
        loadSong();
        ThreadGate gate;
        engine.getStretchProcessor().beforeTrackHook = [&] (const juce::String&) { gate.pass(); };
        engine.applyStretch (132.0, 0.0f);
        ASSERT_TRUE (gate.waitUntilReached());

        auto opener = openWhenStopped (gate);
        if (row.reset)
            engine.reset();
        else
            engine.applyStretch (120.0, 0.0f);
        opener.join();
        runMessageLoopFor (300);

        const auto complete = eventsOf ("STRETCH_COMPLETE");
        ASSERT_EQ (complete.size(), 1u);
        EXPECT_EQ (complete[0].getProperty ("songId", {}).toString(), row.completion);
        EXPECT_EQ (linesContaining ("finalizeStretch"), 0);
        EXPECT_EQ (linesContaining ("JOB DONE"), 0);
        EXPECT_EQ (engine.getCurrentBpm(), 120.0);
        if (! row.reset)
        {
            EXPECT_EQ (track ("keys").getNumSamples(), stemSamples);
        }
        engine.getStretchProcessor().beforeTrackHook = nullptr;
    }
}

TEST_F (EngineOfflineStretch, AResetAfterTheHandBackWasPostedLeavesItStale)
{
    loadSong();
    engine.applyStretch (132.0, 0.0f);
    // Waits without running the message loop: the finished job's hand-back stays queued.
    for (int i = 0; i < 120000 && linesContaining ("JOB DONE") == 0; ++i)
        juce::Thread::sleep (1);
    ASSERT_EQ (linesContaining ("JOB DONE"), 1);
    engine.reset();
    ASSERT_TRUE (runMessageLoopUntil ([&] { return linesContaining ("finalizeStretch") == 1; }));
    EXPECT_EQ (linesContaining ("| match=NO"), 1);
    EXPECT_TRUE (engine.getLoadedTracks().empty());
    EXPECT_EQ (engine.getCurrentBpm(), 120.0);
}
} // namespace quorvelle::test

namespace quorvelle::test
{
namespace
{
// Cached stems of song "cached" at 44.1 kHz for its own tempo, +2 semitones (the device runs at
// 48 kHz), beside a drum stem that does not follow the key and is read from its original.
class EngineStretchCacheRoad : public EngineOfflineStretch
{
protected:
    juce::var pendingTracks()
    {
        const auto drums = temp / "drums.wav";
        EXPECT_TRUE (writeAudioFile (drums, makeNoise (2, 4800, 0.5f), rate, FixtureFormat::wav16));
        for (const char* original : { "keys.wav", "bass.wav" })
            EXPECT_TRUE (writeAudioFile (temp / original, makeSilence (1, 100), rate, FixtureFormat::wav16));
        const auto cached = [] (const char* id, int channels, int samples)
        {
            const auto file = stretchCachePath (getStorageRoot(), "cached", id, 1.0, 2.0f, 44100.0);
            return writeStretchCacheFile (file, id, makeSine (channels, samples, 44100.0, 440.0, 0.5f), 44100.0, {});
        };
        EXPECT_TRUE (cached ("keys", 2, 40000));
        EXPECT_TRUE (cached ("bass", 1, 30000));
        const auto url = [this] (const char* name) { return "file://" + (temp / name).getFullPathName(); };
        return juce::JSON::parse (R"([{"id": "keys", "name": "Keys", "instrumentType": "MELODIC", "url": ")" + url ("keys.wav") + R"("},
                                     {"id": "bass", "name": "Bass", "instrumentType": "BASS", "volume": -6, "url": ")" + url ("bass.wav") + R"("},
                                     {"id": "drums", "name": "Drums", "instrumentType": "DRUMS", "url": ")" + url ("drums.wav") + R"("}])");
    }
    bool activate (double stretchBpm, double semitones)
    {
        return engine.activateFromStretchCache ("cached", stretchBpm, semitones, {}, {}, 8, juce::JSON::parse ("[4, 4]"), true, {}, 0.0);
    }
};
} // namespace

TEST_F (EngineStretchCacheRoad, ACompleteCachedSetActivatesAtTheRateThatHoldsIt)
{
    engine.setPendingLoad (120.0, pendingTracks());
    ASSERT_TRUE (activate (0.0, 2.0));
    EXPECT_EQ (linesContaining ("activateFromStretchCache: MISS @48000 track=keys"), 1);
    EXPECT_EQ (linesContaining ("MISS @44100"), 0);
    EXPECT_EQ (linesContaining ("Full HIT for cached (3 tracks, sr=44100)"), 1);

    ASSERT_TRUE (runMessageLoopUntil ([&] { return ! eventsOf ("SESSION_LOADED").empty(); }));
    const auto loaded = eventsOf ("SESSION_LOADED")[0];
    EXPECT_EQ ((int) loaded.getProperty ("trackCount", {}), 3);
    EXPECT_EQ ((double) loaded.getProperty ("sampleRate", {}), 44100.0);
    EXPECT_FALSE ((bool) loaded.getProperty ("wasPreloaded", true));
    EXPECT_TRUE ((bool) loaded.getProperty ("wasPreStretched", false));
    EXPECT_EQ (engine.getSessionSampleRate(), 44100.0);
    EXPECT_DOUBLE_EQ (engine.getCurrentBpm(), 120.0);

    const struct { const char* id; int samples; int channels; float volume; } rows[] = {
        { "keys", 40000, 2, 1.0f }, // no "volume": 0 dB
        { "bass", 30000, 1, 0.5012f },
        { "drums", 4800, 2, 1.0f }, // its original, untouched by the key
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE (row.id);
        ASSERT_EQ (engine.getLoadedTracks().count (row.id), 1u);
        EXPECT_EQ (track (row.id).getNumSamples(), row.samples);
        EXPECT_EQ (track (row.id).getNumChannels(), row.channels);
        EXPECT_NEAR (track (row.id).volume, row.volume, 1e-3f);
        EXPECT_FALSE (track (row.id).isInt16);
    }
}

TEST_F (EngineStretchCacheRoad, MissingFilesUnchangedStemsAndBadValuesFallBackToTheNormalLoad)
{
    const struct { const char* name; double bpm, semitones; const char* line; } rows[] = {
        { "not cached", 150.0, 2.0, "activateFromStretchCache: no cache found at any sample rate" },
        { "own tempo and key", 120.0, 0.0005, "todos los tracks son no-op" },
        { "bpm far above", 480.0, 0.0, "SKIP (invalidArgs)" },
        { "NaN key", 132.0, NAN, "SKIP (invalidArgs)" },
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE (row.name);
        clearEvents();
        engine.setPendingLoad (120.0, pendingTracks());
        EXPECT_FALSE (activate (row.bpm, row.semitones));
        EXPECT_EQ (linesContaining (row.line), 1);
        EXPECT_TRUE (engine.getLoadedTracks().empty());
    }
}
} // namespace quorvelle::test

namespace quorvelle::test
{
TEST_F (EngineOfflineStretch, ALoadSendsTheWaveformPeaksOfItsStemsButNotOfTheClick)
{
    const struct { const char* name; const char* type; size_t peaks; } rows[] = { { "keys", "MELODIC", 8 }, { "click", "CLICK", 0 } };
    for (const auto& row : rows)
    {
        SCOPED_TRACE (row.name);
        clearEvents();
        const auto file = temp / (juce::String (row.name) + ".wav");
        ASSERT_TRUE (writeAudioFile (file, makeSine (2, stemSamples, rate, 440.0, 0.5f), rate, FixtureFormat::wav16));
        const auto tracks = juce::JSON::parse (R"([{"id": "a", "name": "a", "instrumentType": ")" + juce::String (row.type) + R"(", "url": "file://)"
                                               + file.getFullPathName() + "\"}]");
        engine.loadSession (tracks, {}, {}, juce::JSON::parse ("[4, 4]"), {}, 120.0, 8, row.name, false, 0.0);
        ASSERT_TRUE (runMessageLoopUntil ([&] { return ! eventsOf ("WAVEFORM_UPDATE").empty(); }, 60000));
        const auto update = eventsOf ("WAVEFORM_UPDATE")[0];
        EXPECT_EQ (update.getProperty ("songId", {}).toString(), row.name);
        for (const char* key : { "peaks", "peaksMin", "peaksMax" })
        {
            ASSERT_NE (update.getProperty (key, {}).getArray(), nullptr) << key;
            EXPECT_EQ ((size_t) update.getProperty (key, {}).size(), row.peaks) << key;
        }
    }
    EXPECT_EQ (log.count ("PeakGenerator: WARNING - No valid tracks for waveform generation (all readers failed or empty)"), 1);
}
} // namespace quorvelle::test
