// Preloads on real files: the admission's skip, the preloader's workers with their events, head
// windows, mixed rates, failures and replaced runs, the premix, and the slot operations.
#include "audio/engine/AudioEngine.h"

#include "audio/graph/GraphUtils.h"
#include "audio/loading/StretchCache.h"
#include "tests/audio/engine/EngineSongFixture.h"
#include "tests/support/AudioFixtures.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <mutex>

namespace quorvelle::test
{
namespace
{
class EnginePreload : public EngineSongTest
{
protected:
    size_t eventCountFor (const juce::String& songId) const
    {
        const std::scoped_lock lock (eventLock);
        return (size_t) std::count_if (events.begin(), events.end(), [&] (const juce::var& e) { return e["songId"].toString() == songId; });
    }
    static juce::String keysOf (const juce::var& e)
    {
        juce::StringArray keys;
        if (auto* object = e.getDynamicObject())
            for (const auto& p : object->getProperties())
                keys.add (p.name.toString());
        return keys.joinIntoString (",");
    }

    struct Options
    {
        double bpm = 120.0;
        double countOverlayStartSec = -1.0, countOverlayEndSec = -1.0;
        double durationSec = 0.0;
        bool headOnly = false;
        double headStartSec = -1.0, headLengthSec = 4.0;
        double stretchBpm = 0.0, stretchSemitones = 0.0;
        bool cacheOnly = false;
    };
    void preload (const juce::String& tracksJson, const juce::String& songId, const Options& o)
    {
        engine.startPreload (juce::JSON::parse (tracksJson), juce::var(), o.bpm, juce::var(), 64, songId, juce::JSON::parse ("[4, 4]"),
                             o.stretchBpm, o.stretchSemitones, o.cacheOnly, juce::var(), o.countOverlayStartSec, o.countOverlayEndSec, o.durationSec, o.headOnly,
                             o.headStartSec, o.headLengthSec, 0.0);
    }
    void preload (const juce::String& tracksJson, const juce::String& songId = "song-b") { preload (tracksJson, songId, Options {}); }
    void waitFor (const juce::String& action, const juce::String& songId = "song-b")
    {
        EXPECT_TRUE (runMessageLoopUntil ([&] { return ! eventsOf (action, songId).empty(); }, 60000)) << action;
    }
    void waitUntilPreloaderIdle()
    {
        EXPECT_TRUE (runMessageLoopUntil ([this] { return ! engine.getPreloader().isBusy(); }, 60000));
        drainMessageQueue();
    }

    juce::File wav (const juce::String& name, const juce::AudioBuffer<float>& audio, double rate)
    {
        const auto file = temp / name;
        EXPECT_TRUE (writeAudioFile (file, audio, rate, FixtureFormat::wav16));
        return file;
    }
    juce::File sine (const juce::String& name, double rate, int samples, int channels = 2)
    {
        return wav (name, makeSine (channels, samples, rate, 440.0, 0.5f), rate);
    }

    static const AudioEngine::PreloadedTrack* trackOf (const AudioEngine::PreloadedSession& session, const juce::String& id)
    {
        for (const auto& t : session.tracks)
            if (t.trackId == id)
                return &t;
        return nullptr;
    }
    static juce::int64 lengthOf (const AudioEngine::PreloadedTrack& t)
    {
        if (t.samples->buffer != nullptr)
            return t.samples->buffer->getNumSamples();
        return t.samples->int16Channels != nullptr && ! t.samples->int16Channels->empty() ? t.samples->int16Channels->front().numSamples : -1;
    }
};
} // namespace

TEST_F (EnginePreload, FourStemsReportProgressInFinishingOrderAndFillTheSlot)
{
    const auto a = sine ("a.wav", 48000.0, 24000);
    const auto missing = temp / "missing.wav";
    preload ("[" + stem ("a", a, "MELODIC", ", \"volume\": -3.5, \"overlayVolumeDb\": -12") + ","
             + stem ("b", sine ("b.wav", 48000.0, 12000, 1), "DRUMS") + ","
             + stem ("c", sine ("c.wav", 48000.0, 6000), "DRUMS", ", \"transposeWithSong\": true") + "," + stem ("gone", missing) + ","
             + stem ("d", sine ("d.wav", 48000.0, 3000), "", ", \"busOverride\": \"aux\"") + "]");
    waitFor ("PRELOAD_COMPLETE");

    const auto progress = eventsOf ("PRELOAD_PROGRESS");
    ASSERT_EQ (progress.size(), 4u);
    for (int i = 0; i < 4; ++i)
    {
        SCOPED_TRACE (i);
        EXPECT_EQ (keysOf (progress[(size_t) i]), "action,songId,trackIndex,totalTracks,progress");
        EXPECT_EQ ((int) progress[(size_t) i]["trackIndex"], i);
        EXPECT_EQ ((int) progress[(size_t) i]["totalTracks"], 5);
        EXPECT_EQ ((int) progress[(size_t) i]["progress"], (int) ((float) (i + 1) / 5.0f * 100.0f));
    }
    const auto errors = eventsOf ("TRACK_LOAD_ERROR");
    ASSERT_EQ (errors.size(), 1u);
    EXPECT_EQ (keysOf (errors[0]), "action,songId,trackId,trackName,url,urlB64,diag");
    EXPECT_EQ (errors[0]["trackId"].toString(), "gone");
    EXPECT_EQ (errors[0]["diag"].toString(), "preload: reader=null (archivo faltante o ilegible)");

    const auto complete = eventsOf ("PRELOAD_COMPLETE");
    ASSERT_EQ (complete.size(), 1u);
    EXPECT_EQ (keysOf (complete[0]), "action,songId,trackCount,sampleRate");
    EXPECT_EQ ((int) complete[0]["trackCount"], 4);
    EXPECT_EQ ((double) complete[0]["sampleRate"], 48000.0);

    const auto session = engine.getPreloadedSession();
    ASSERT_NE (session, nullptr);
    EXPECT_EQ (engine.getPreloadedSongId(), "song-b");
    ASSERT_EQ (session->tracks.size(), 4u);
    const char* order[] = { "a", "b", "c", "d" };
    for (size_t i = 0; i < 4; ++i)
        EXPECT_EQ (session->tracks[i].trackId, order[i]) << "request order, whatever finished first";

    const auto& ta = *trackOf (*session, "a");
    EXPECT_FLOAT_EQ (ta.volumeDb, -3.5f);
    EXPECT_FLOAT_EQ (ta.overlayVolumeDb, -12.0f);
    ASSERT_NE (ta.samples->int16Channels, nullptr) << "a 16-bit source stays 16-bit";
    const auto fileAudio = readAudioFile (a);
    for (int i : { 0, 100, 23999 })
        EXPECT_NEAR ((*ta.samples->int16Channels)[1].samples[(size_t) i] / 32768.0f, fileAudio.getSample (1, i), 1.0f / 32768.0f);
    EXPECT_FALSE (ta.isHeadOnly);

    const auto& tb = *trackOf (*session, "b");
    EXPECT_TRUE (tb.isPercussive);
    EXPECT_TRUE (tb.skipTranspose);
    EXPECT_FLOAT_EQ (tb.volumeDb, 0.0f);
    EXPECT_FLOAT_EQ (tb.overlayVolumeDb, -999.0f);
    EXPECT_TRUE (trackOf (*session, "c")->isPercussive);
    EXPECT_FALSE (trackOf (*session, "c")->skipTranspose);
    EXPECT_EQ (trackOf (*session, "d")->instrumentType, "MELODIC");
    EXPECT_EQ (trackOf (*session, "d")->busOverride, "aux");
}

TEST_F (EnginePreload, NoTracksCompletesAtTheDeviceRateAndBadTempiBecome120)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const struct { double bpm; double expected; bool logged; } rows[] = {
        { 0.0, 120.0, true }, { -1.0, 120.0, true }, { nan, 120.0, true },
        { std::numeric_limits<double>::infinity(), 120.0, true }, { 96.5, 96.5, false },
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE (row.bpm);
        clearEvents();
        const auto linesBefore = log.count ("PRELOAD_SONG: invalid bpm=");
        Options o;
        o.bpm = row.bpm;
        preload ("null", "song-b", o);
        waitFor ("PRELOAD_COMPLETE");
        const auto complete = eventsOf ("PRELOAD_COMPLETE");
        ASSERT_EQ (complete.size(), 1u);
        EXPECT_EQ ((int) complete[0]["trackCount"], 0);
        EXPECT_EQ ((double) complete[0]["sampleRate"], 48000.0);
        ASSERT_NE (engine.getPreloadedSession(), nullptr);
        EXPECT_EQ (engine.getPreloadedSession()->bpm, row.expected);
        EXPECT_EQ (log.count ("PRELOAD_SONG: invalid bpm="), linesBefore + (row.logged ? 1 : 0));
    }
    EXPECT_EQ (log.count ("PRELOAD_SONG: invalid bpm=0 in payload, using 120"), 1);
}

TEST_F (EnginePreload, AStemAtAnotherRateIsConvertedToTheSessionRate)
{
    // One second each: whichever opens first sets the rate, the other is converted to it.
    preload ("[" + stem ("fast", sine ("fast.wav", 48000.0, 48000)) + "," + stem ("slow", sine ("slow.wav", 44100.0, 44100)) + "]");
    waitFor ("PRELOAD_COMPLETE");
    const auto session = engine.getPreloadedSession();
    ASSERT_NE (session, nullptr);
    ASSERT_EQ (session->tracks.size(), 2u);
    EXPECT_TRUE (session->sampleRate == 48000.0 || session->sampleRate == 44100.0) << session->sampleRate;
    for (const auto& t : session->tracks)
    {
        SCOPED_TRACE (t.trackId);
        EXPECT_NEAR ((double) lengthOf (t), session->sampleRate, 1.0) << "one second at the session rate";
        EXPECT_FALSE (t.isHeadOnly);
    }
}

TEST_F (EnginePreload, AReadFailingMidDecodeFailsThePreloadAndKeepsTheSlot)
{
    auto previous = std::make_shared<AudioEngine::PreloadedSession>();
    previous->songId = "song-a";
    engine.setPreloadedSessionForTesting (previous);

    preload ("[" + stem ("breaks", writeScriptedStem (temp / "breaks.scripted", 48000.0, 16, 300000, 140000)) + "]");
    waitFor ("PRELOAD_FAILED");
    waitUntilPreloaderIdle();

    const auto errors = eventsOf ("TRACK_LOAD_ERROR");
    ASSERT_EQ (errors.size(), 1u);
    EXPECT_EQ (errors[0]["diag"].toString(), "preload: read FAILED a mitad de decode");
    const auto failed = eventsOf ("PRELOAD_FAILED");
    ASSERT_EQ (failed.size(), 1u);
    EXPECT_EQ (keysOf (failed[0]), "action,songId,reason");
    EXPECT_EQ (failed[0]["reason"].toString(), "read-failed");
    EXPECT_TRUE (eventsOf ("PRELOAD_COMPLETE").empty());
    EXPECT_EQ (engine.getPreloadedSession(), previous);
}

TEST_F (EnginePreload, ANewRequestSilencesTheRunItReplaces)
{
    // A long scripted stem keeps the first run decoding when the second request comes.
    const auto slow = writeScriptedStem (temp / "slow.scripted", 48000.0, 16, 40000000, -1);
    preload ("[" + stem ("s1", slow) + "," + stem ("s2", slow) + "]", "song-old");
    preload ("[" + stem ("b", sine ("b.wav", 48000.0, 4800)) + "]", "song-b");
    waitFor ("PRELOAD_COMPLETE");
    waitUntilPreloaderIdle();

    EXPECT_EQ (eventCountFor ("song-old"), 0u);
    EXPECT_EQ (engine.getPreloadedSongId(), "song-b");
}

TEST_F (EnginePreload, HeadWindowsDecodeOnlyTheirChunks)
{
    // Mono 8 kHz, 60 s: 480,000 samples in chunks of 131,072 (0..3).
    const double rate = 8000.0;
    const auto file = wav ("long.wav", makeNoise (1, 480000, 0.5f, 7), rate);
    const auto fileAudio = readAudioFile (file);
    const struct { const char* name; Options o; juce::int64 headEnd; bool chunks[4]; } rows[] = {
        { "a head at 10 s", { 120.0, -1.0, -1.0, 0.0, true, 10.0, 2.0 }, 96000, { true, false, false, false } },
        { "a head at 40 s", { 120.0, -1.0, -1.0, 0.0, true, 40.0, 4.0 }, 352000, { false, false, true, false } },
        { "an overlay at 28..40 s from the start", { 120.0, 28.0, 40.0, 0.0, true, -1.0, 30.0 }, 320000, { true, true, true, false } },
        { "a head past the end", { 120.0, -1.0, -1.0, 0.0, true, 100.0, 4.0 }, 480000, { false, false, false, false } },
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE (row.name);
        clearEvents();
        preload ("[" + stem ("h", file) + "]", "song-b", row.o);
        waitFor ("PRELOAD_COMPLETE");
        const auto session = engine.getPreloadedSession();
        ASSERT_NE (session, nullptr);
        ASSERT_EQ (session->tracks.size(), 1u);
        const auto& t = session->tracks[0];
        EXPECT_TRUE (t.isHeadOnly);
        EXPECT_EQ (t.headEndSample, row.headEnd);
        EXPECT_EQ (t.totalSamples, 480000);
        EXPECT_EQ (lengthOf (t), 480000) << "the full length is allocated";
        EXPECT_EQ (t.complementSource, "file://" + file.getFullPathName());
        EXPECT_FALSE (t.complementFromCache);
        for (int c = 0; c < 4; ++c)
        {
            EXPECT_EQ (t.samples->loadMap.isLoaded (c), row.chunks[c]) << "chunk " << c;
            if (row.chunks[c])
            {
                const auto at = c * 131072 + 5;
                EXPECT_NEAR ((*t.samples->int16Channels)[0].samples[(size_t) at] / 32768.0f, fileAudio.getSample (0, at), 1.0f / 32768.0f);
            }
        }
    }
    EXPECT_TRUE (engine.isHeadOnlyLoadFlagSet());
}

TEST_F (EnginePreload, ThePremixMixesTheMusicOfTheOverlayWindow)
{
    const double rate = 48000.0;
    const auto music = makeNoise (2, 3 * 48000, 0.25f, 3);
    const auto click = makeClickTrain (1, 3 * 48000, 4800);
    Options o;
    o.countOverlayStartSec = 1.0;
    o.countOverlayEndSec = 2.0;
    preload ("[" + stem ("m", wav ("m.wav", music, rate), "MELODIC", ", \"volume\": -6") + "," + stem ("k", wav ("k.wav", click, rate), "CLICK")
             + "]",
             "song-b", o);
    waitFor ("PRELOAD_COMPLETE");
    const auto session = engine.getPreloadedSession();
    ASSERT_NE (session, nullptr);
    ASSERT_NE (session->premix, nullptr);
    EXPECT_EQ (session->premixStartSec, 1.0);
    EXPECT_EQ (session->premixEndSec, 2.0);
    ASSERT_EQ (session->premix->getNumChannels(), 2);
    ASSERT_EQ (session->premix->getNumSamples(), 48000);
    const float gain = std::pow (10.0f, -6.0f / 20.0f);
    const auto musicBack = readAudioFile (temp / "m.wav");
    for (int c = 0; c < 2; ++c)
        for (int i : { 0, 4800, 47999 })
            EXPECT_NEAR (session->premix->getSample (c, i), gain * musicBack.getSample (c, 48000 + i), 1.0e-6f) << c << "/" << i;
    EXPECT_EQ (log.count ("[COUNT-OVERLAY] pre-mixed song=song-b region=[1.00..2.00]s samples=48000"), 1);
}

TEST_F (EnginePreload, ThePremixDumpStaysInsideTheDebugFolder)
{
    const auto debugFolder = getStorageRoot().getChildFile ("_debug");
    const auto audio = sine ("m.wav", 48000.0, 48000);
    verboseDiagnostics = true;
    const struct { const char* songId; const char* fileName; } rows[] = {
        { "plain-id", "countoverlay_plain-id.wav" },
        { "../../escape", "countoverlay_....escape.wav" },
        { "..", nullptr },
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE (row.songId);
        clearEvents();
        const auto dumpsBefore = log.count ("[COUNT-OVERLAY] dumped WAV");
        Options o;
        o.countOverlayStartSec = 0.0;
        o.countOverlayEndSec = 0.5;
        preload ("[" + stem ("m", audio) + "]", row.songId, o);
        waitFor ("PRELOAD_COMPLETE", row.songId);
        if (row.fileName != nullptr)
        {
            const auto file = debugFolder.getChildFile (row.fileName);
            EXPECT_TRUE (file.existsAsFile()) << file.getFullPathName();
            EXPECT_EQ (readAudioFile (file).getNumSamples(), 24000);
            file.deleteFile();
        }
        else
        {
            EXPECT_EQ (log.count ("[COUNT-OVERLAY] dumped WAV"), dumpsBefore);
        }
    }
    verboseDiagnostics = false;
    EXPECT_FALSE (getStorageRoot().getParentDirectory().getChildFile ("escape.wav").exists());
}

TEST_F (EnginePreload, RefusedPreloadsAreSkippedAtOnce)
{
    engine.memoryProbe = [] { return (juce::uint64) 0; };
    const auto file = sine ("a.wav", 48000.0, 4800);
    const struct { const char* name; Options o; juce::int64 estimatedMb; } rows[] = {
        { "a 25 s song without memory", { 120.0, -1.0, -1.0, 25.0, false, -1.0, 4.0 }, 4 },
        { "a head of 1e9 s reaches the cap", { 120.0, -1.0, -1.0, 0.0, true, -1.0, 1.0e9 }, 1048576 },
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE (row.name);
        clearEvents();
        preload ("[" + stem ("a", file) + "]", "song-b", row.o);
        const auto skipped = eventsOf ("PRELOAD_SKIPPED");
        ASSERT_EQ (skipped.size(), 1u) << "sent before the call returns";
        EXPECT_EQ (keysOf (skipped[0]), "action,songId,cacheOnly,estimatedMb,availableMb,reserveMb");
        EXPECT_EQ ((juce::int64) skipped[0]["estimatedMb"], row.estimatedMb);
        EXPECT_EQ ((int) skipped[0]["availableMb"], 0);
        EXPECT_GE ((int) skipped[0]["reserveMb"], 600);
        EXPECT_FALSE (engine.getPreloader().isBusy());
    }
    EXPECT_TRUE (engine.isHeadOnlyLoadFlagSet()) << "a head-only request sets the flag before its admission";
    EXPECT_EQ (log.count ("[ADMISSION] PRELOAD_SKIPPED song=song-b | est=4MB avail=0MB"), 1);
}

TEST_F (EnginePreload, TheSlotOperations)
{
    const auto filled = [this] (const juce::String& id)
    {
        auto session = std::make_shared<AudioEngine::PreloadedSession>();
        session->songId = id;
        engine.setPreloadedSessionForTesting (session);
        return session;
    };

    filled ("song-long-id-1");
    engine.cancelPreload();
    EXPECT_EQ (engine.getPreloadedSongId(), "song-long-id-1") << "cancel while idle keeps a finished preload";
    EXPECT_EQ (log.count ("[TRACK-AUDIT] cancelPreload NO-OP (preloader not running) | kept session=song-lon"), 1);

    engine.evictPreloadedSession ("ts-request");
    EXPECT_FALSE (engine.hasPreloadedSession());
    const auto evicted = eventsOf ("PRELOAD_EVICTED");
    ASSERT_EQ (evicted.size(), 1u);
    EXPECT_EQ (keysOf (evicted[0]), "action,songId,reason");
    EXPECT_EQ (evicted[0]["songId"].toString(), "song-long-id-1");
    EXPECT_EQ (evicted[0]["reason"].toString(), "ts-request");

    engine.evictPreloadedSession ("memory");
    EXPECT_EQ (eventsOf ("PRELOAD_EVICTED").size(), 1u) << "an empty slot sends nothing";

    filled ("song-kept");
    engine.armPreserveSessionForTesting();
    engine.evictPreloadedSession ("memory");
    EXPECT_EQ (engine.getPreloadedSongId(), "song-kept");
    EXPECT_EQ (log.count ("[TRACK-AUDIT] evictPreloadedSession SKIP (preserve flag armado) | reason=memory"), 1);

    // A cancel during a run empties the slot, and the run posts nothing.
    const auto slow = writeScriptedStem (temp / "slow.scripted", 48000.0, 16, 40000000, -1);
    preload ("[" + stem ("s", slow) + "]", "song-cancelled");
    engine.cancelPreload();
    EXPECT_FALSE (engine.hasPreloadedSession());
    waitUntilPreloaderIdle();
    EXPECT_EQ (eventCountFor ("song-cancelled"), 0u);
    EXPECT_FALSE (engine.hasPreloadedSession());
}

TEST_F (EnginePreload, PreserveTurnsTheActiveSongIntoThePreloadAndSurvivesOneReset)
{
    engine.preserveActiveAsPreload();
    EXPECT_FALSE (engine.hasPreloadedSession()) << "no active song";
    EXPECT_EQ (log.count ("preserveActiveAsPreload: nothing to preserve (no active session)"), 1);

    const auto a = sine ("a.wav", 48000.0, 4800);
    engine.loadSession (juce::JSON::parse ("[" + stem ("a", a) + "," + stem ("b", sine ("b.wav", 48000.0, 4800), "DRUMS") + "]"),
                        juce::JSON::parse ("[{\"name\": \"Intro\"}]"), juce::var(), juce::JSON::parse ("[3, 4]"), juce::var(), 120.0, 64,
                        "song-a", true, 0.0);
    ASSERT_TRUE (runMessageLoopUntil ([this] { return ! eventsOf ("SESSION_LOADED").empty(); }, 60000));
    engine.setTrackVolume ("a", -6.0f);
    engine.setTrackMute ("b", true);
    const auto* playing = engine.getLoadedTracks().at ("a")->samples.get();

    engine.preserveActiveAsPreload();
    auto session = engine.getPreloadedSession();
    ASSERT_NE (session, nullptr);
    EXPECT_EQ (session->songId, "song-a");
    EXPECT_EQ (session->sampleRate, 48000.0);
    EXPECT_EQ (session->numBars, 64);
    EXPECT_EQ (juce::JSON::toString (session->sectionsVar, true), "[{\"name\": \"Intro\"}]");
    EXPECT_FALSE (session->wasPreStretched);
    ASSERT_EQ (session->tracks.size(), 2u);
    EXPECT_EQ (session->tracks[0].trackId, "a");
    EXPECT_NEAR (session->tracks[0].volumeDb, -6.0f, 0.01f);
    EXPECT_NEAR (session->tracks[0].overlayVolumeDb, -6.0f, 0.01f);
    EXPECT_EQ (session->tracks[0].samples.get(), playing) << "the chain and the record share the samples";
    EXPECT_NEAR (session->tracks[1].volumeDb, 0.0f, 0.01f) << "a muted track keeps its level";
    EXPECT_EQ (session->tracks[1].overlayVolumeDb, -100.0f);

    // The evict is refused while armed; the first full reset keeps the slot, the second releases it.
    engine.evictPreloadedSession ("ts-request");
    EXPECT_TRUE (engine.hasPreloadedSession());
    EXPECT_TRUE (eventsOf ("PRELOAD_EVICTED").empty());
    engine.reset();
    EXPECT_EQ (engine.getPreloadedSongId(), "song-a");
    engine.reset();
    EXPECT_FALSE (engine.hasPreloadedSession());
    EXPECT_EQ (session.use_count(), 1) << "the test's copy is the last holder";
}

TEST (CountOverlayBuffer, MixesTheSelectedTracksOfAWindow)
{
    const double rate = 1000.0;
    const auto floatTrack = [rate] (const juce::String& type, int channels, float value, float volumeDb, float overlayDb = -999.0f)
    {
        AudioEngine::PreloadedTrack t;
        t.trackId = type;
        t.instrumentType = type;
        t.volumeDb = volumeDb;
        t.overlayVolumeDb = overlayDb;
        t.samples->buffer = std::make_unique<juce::AudioBuffer<float>> (channels, (int) (10 * rate));
        for (int c = 0; c < channels; ++c)
            juce::FloatVectorOperations::fill (t.samples->buffer->getWritePointer (c), value * (float) (c + 1), (int) (10 * rate));
        return t;
    };
    AudioEngine::PreloadedSession session;
    session.sampleRate = rate;
    session.tracks.push_back (floatTrack ("MELODIC", 1, 0.5f, 0.0f));                 // mono: both sides
    session.tracks.push_back (floatTrack ("DRUMS", 2, 0.1f, -80.0f, 0.0f));          // the overlay level wins
    session.tracks.push_back (floatTrack ("BASS", 2, 0.3f, 0.0f, -70.0f));           // below -60 dB: left out
    session.tracks.push_back (floatTrack ("CLICK", 1, 0.25f, -6.0f));
    AudioEngine::PreloadedTrack cues;
    cues.instrumentType = "CUES";
    cues.volumeDb = 0.0f;
    cues.samples->int16Channels = std::make_unique<std::vector<Int16ChannelData>> (1);
    (*cues.samples->int16Channels)[0].allocate (10000);
    std::fill_n ((*cues.samples->int16Channels)[0].samples.get(), 10000, (int16_t) 16384);
    session.tracks.push_back (std::move (cues));

    using Kind = AudioEngine::OverlayKind;
    const struct { const char* name; double start, end; Kind kind; int length; float left, right; } rows[] = {
        { "music", 1.0, 3.0, Kind::music, 2000, 0.5f + 0.1f, 0.5f + 0.2f },
        { "click", 1.0, 3.0, Kind::click, 2000, 0.25f * std::pow (10.0f, -6.0f / 20.0f), 0.25f * std::pow (10.0f, -6.0f / 20.0f) },
        { "guide from 16-bit", 0.0, 1.0, Kind::guide, 1000, 0.5f, 0.5f },
        { "a negative start reads from 0", -2.0, 1.0, Kind::music, 1000, 0.6f, 0.7f },
        { "past the tracks' end: zeros after it", 9.5, 11.0, Kind::music, 1500, 0.6f, 0.7f },
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE (row.name);
        const auto buffer = AudioEngine::buildCountOverlayBuffer (session, row.start, row.end, row.kind);
        ASSERT_NE (buffer, nullptr);
        ASSERT_EQ (buffer->getNumChannels(), 2);
        ASSERT_EQ (buffer->getNumSamples(), row.length);
        EXPECT_NEAR (buffer->getSample (0, 0), row.left, 1.0e-5f);
        EXPECT_NEAR (buffer->getSample (1, 0), row.right, 1.0e-5f);
    }
    const auto tail = AudioEngine::buildCountOverlayBuffer (session, 9.5, 11.0, Kind::music);
    EXPECT_EQ (tail->getSample (0, 600), 0.0f) << "samples past the tracks stay silent";

    const struct { const char* name; double start, end; } refused[] = {
        { "no end", 1.0, 0.0 }, { "an empty window", 3.0, 3.0 }, { "120 s", 0.0, 120.0 }, { "start after end", 4.0, 2.0 },
    };
    for (const auto& row : refused)
    {
        SCOPED_TRACE (row.name);
        EXPECT_EQ (AudioEngine::buildCountOverlayBuffer (session, row.start, row.end, Kind::music), nullptr);
    }
    EXPECT_NE (AudioEngine::buildCountOverlayBuffer (session, 0.0, 119.9, Kind::music), nullptr);

    AudioEngine::PreloadedSession quiet;
    quiet.tracks.push_back (floatTrack ("MELODIC", 1, 0.5f, -60.0f));
    EXPECT_EQ (AudioEngine::buildCountOverlayBuffer (quiet, 0.0, 1.0, Kind::music), nullptr) << "no track sounds";
    EXPECT_EQ (AudioEngine::buildCountOverlayBuffer (quiet, 0.0, 1.0, Kind::click), nullptr);
}
} // namespace quorvelle::test

namespace quorvelle::test
{
namespace
{
// Preloads at another tempo or key: the pre-stretch of the stems, on one worker unless a test says
// otherwise, and the stretch cache it writes and reads.
class EnginePreStretch : public EnginePreload
{
protected:
    void SetUp() override
    {
        EnginePreload::SetUp();
        songsFolder().deleteRecursively();
        engine.getPreloader().stretchHardwareThreads = 3;
    }
    void TearDown() override
    {
        songsFolder().deleteRecursively();
        EnginePreload::TearDown();
    }
    static juce::File songsFolder() { return getStorageRoot().getChildFile ("Songs"); }
    static juce::File cacheFile (const juce::String& track, double ratio, float semitones)
    {
        return stretchCachePath (getStorageRoot(), "song-b", track, ratio, semitones, 48000.0);
    }
    static int wavFilesUnder (const juce::File& folder) { return folder.findChildFiles (juce::File::findFiles, true, "*.wav").size(); }

    // Preloads song-b and waits for its answer; a session reaches the slot only on success.
    std::shared_ptr<const AudioEngine::PreloadedSession> stretchedPreload (const juce::String& tracksJson, const Options& o)
    {
        clearEvents();
        preload (tracksJson, "song-b", o);
        EXPECT_TRUE (runMessageLoopUntil ([&] { return ! eventsOf ("PRELOAD_COMPLETE").empty() || ! eventsOf ("PRELOAD_FAILED").empty(); },
                                          120000));
        waitUntilPreloaderIdle();
        return engine.getPreloadedSession();
    }
    static Options at (double stretchBpm, double semitones)
    {
        Options o;
        o.stretchBpm = stretchBpm;
        o.stretchSemitones = semitones;
        return o;
    }
};
} // namespace

TEST_F (EnginePreStretch, ProgressIsWeightedByLengthAndUnpitchedStemsStayAsTheyAre)
{
    // Ratio 1 and +2 semitones over drum stems that do not follow the key: nothing to render.
    const auto json = "[" + stem ("short", wav ("short.wav", makeNoise (1, 1000000, 0.1f), 48000.0), "DRUMS") + ","
                      + stem ("long", wav ("long.wav", makeNoise (1, 9000000, 0.1f), 48000.0), "PERC") + "]";
    const auto session = stretchedPreload (json, at (0.0, 2.0));
    ASSERT_NE (session, nullptr);
    EXPECT_TRUE (session->wasPreStretched);
    EXPECT_EQ (session->stretchSemitones, 2.0);
    EXPECT_EQ (session->stretchBpm, 0.0);
    ASSERT_EQ (session->tracks.size(), 2u);
    EXPECT_EQ (lengthOf (session->tracks[0]), 1000000);
    EXPECT_EQ (lengthOf (session->tracks[1]), 9000000);
    EXPECT_EQ (wavFilesUnder (songsFolder()), 0);
    EXPECT_EQ (log.count ("(hits=0 noop=2 procesados=0)"), 1);
    EXPECT_EQ (log.count ("| workers=1"), 1);

    // The last report of each finished count: 1 M of 10 M samples, then all of them.
    std::map<int, int> percentWhenDone;
    for (const auto& e : eventsOf ("PRELOAD_STRETCH_PROGRESS"))
    {
        EXPECT_EQ (keysOf (e), "action,songId,done,total,percent");
        EXPECT_EQ ((int) e["total"], 2);
        percentWhenDone[(int) e["done"]] = (int) e["percent"];
    }
    EXPECT_EQ (percentWhenDone, (std::map<int, int> { { 1, 10 }, { 2, 100 } }));
}

TEST_F (EnginePreStretch, RenderedStemsHaveTheirExactLengthFromSampleZeroAndComeFromTheCacheNextTime)
{
    // 48004 / 1.25 = 38403.2 samples: rounded, not raised.
    constexpr int length = 48004, period = 4800;
    constexpr double ratio = 1.25;
    const auto json = "[" + stem ("keys", sine ("keys.wav", 48000.0, length)) + ","
                      + stem ("drums", wav ("drums.wav", makeClickTrain (1, length, period, 8), 48000.0), "DRUMS") + "]";

    for (const bool repeat : { false, true })
    {
        SCOPED_TRACE (repeat ? "repeat" : "first");
        const auto session = stretchedPreload (json, at (150.0, 2.0));
        ASSERT_NE (session, nullptr);
        EXPECT_TRUE (session->wasPreStretched);
        EXPECT_EQ (session->stretchBpm, 150.0);
        EXPECT_EQ (log.count (repeat ? "(hits=2 noop=0 procesados=0)" : "(hits=0 noop=0 procesados=2)"), 1);
        if (repeat)
        {
            EXPECT_EQ (log.count ("cache HIT (disco, int16) | read="), 2);
        }

        const auto* keys = trackOf (*session, "keys");
        const auto* drums = trackOf (*session, "drums");
        ASSERT_TRUE (keys != nullptr && drums != nullptr);
        EXPECT_EQ (lengthOf (*keys), 38403);
        EXPECT_EQ (lengthOf (*drums), 38403);
        // A cached read stays 16-bit; compare both forms as float.
        const auto asFloat = [] (const AudioEngine::PreloadedTrack& t)
        {
            if (t.samples->buffer != nullptr)
                return *t.samples->buffer;
            const auto& channels = *t.samples->int16Channels;
            juce::AudioBuffer<float> b ((int) channels.size(), (int) channels.front().numSamples);
            for (int c = 0; c < b.getNumChannels(); ++c)
                for (int i = 0; i < b.getNumSamples(); ++i)
                    b.setSample (c, i, channels[(size_t) c].samples[(size_t) i] / 32768.0f);
            return b;
        };
        EXPECT_EQ (repeat, keys->samples->int16Channels != nullptr);
        const auto k = asFloat (*keys);
        EXPECT_EQ (k.getNumChannels(), 2);
        EXPECT_NEAR (measureFrequency (k, 9600, 19200, 48000.0), 440.0 * std::pow (2.0, 2.0 / 12.0), 1.0);
        EXPECT_GT (k.getRMSLevel (0, k.getNumSamples() - 4800, 4800), 0.2f) << "the end of the stem is kept";

        // The drums follow the tempo only, each click on its stretched beat.
        const auto d = asFloat (*drums);
        for (int beat = 0; beat * period < length; ++beat)
        {
            const int expected = (int) std::lround (beat * period / ratio);
            int at = std::max (0, expected - period / 3);
            for (int i = at; i < std::min (d.getNumSamples(), expected + period / 3); ++i)
                if (std::abs (d.getSample (0, i)) > std::abs (d.getSample (0, at)))
                    at = i;
            EXPECT_NEAR (at, expected, 1440) << "beat " << beat;
        }

        for (const auto& [id, semitones] : { std::pair<const char*, float> { "keys", 2.0f }, { "drums", 0.0f } })
        {
            const auto file = cacheFile (id, ratio, semitones);
            ASSERT_TRUE (file.existsAsFile()) << id;
            juce::WavAudioFormat wav;
            std::unique_ptr<juce::AudioFormatReader> reader (wav.createReaderFor (file.createInputStream().release(), true));
            ASSERT_NE (reader, nullptr);
            EXPECT_EQ (reader->lengthInSamples, 38403);
            EXPECT_EQ (reader->bitsPerSample, 16u);
            EXPECT_FALSE (file.withFileExtension ("wav.tmp").exists());
        }
    }
}

TEST_F (EnginePreStretch, ValuesTheStretcherCannotRenderFailThePreload)
{
    const auto json = "[" + stem ("keys", sine ("keys.wav", 48000.0, 4800)) + "]";
    const struct { const char* name; double stretchBpm, semitones; } rows[] = {
        { "four times the tempo", 480.0, 0.0 },
        { "13 semitones", 0.0, 13.0 },
        { "endless tempo", std::numeric_limits<double>::infinity(), 0.0 },
        { "NaN key", 0.0, std::numeric_limits<double>::quiet_NaN() },
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE (row.name);
        const auto session = stretchedPreload (json, at (row.stretchBpm, row.semitones));
        EXPECT_EQ (session, nullptr);
        const auto failed = eventsOf ("PRELOAD_FAILED");
        ASSERT_EQ (failed.size(), 1u);
        EXPECT_EQ (failed[0]["reason"].toString(), "invalidArgs");
        EXPECT_TRUE (eventsOf ("PRELOAD_PROGRESS").empty()) << "nothing decoded";
        EXPECT_EQ (wavFilesUnder (songsFolder()), 0);
    }
}

TEST_F (EnginePreStretch, ACancelDuringTheRenderLeavesNoSessionAndNoCacheFile)
{
    // A stem long enough to be still rendering when the cancel comes.
    const auto json = "[" + stem ("keys", wav ("keys.wav", makeNoise (1, 8000000, 0.1f), 48000.0)) + "]";
    preload (json, "song-b", at (150.0, 2.0));
    ASSERT_TRUE (runMessageLoopUntil ([&] { return log.count ("[PRELOAD-PERF] stretch phase START | song=song-b") == 1; }, 60000));
    engine.cancelPreload();
    waitUntilPreloaderIdle();

    EXPECT_EQ (engine.getPreloadedSession(), nullptr);
    EXPECT_TRUE (eventsOf ("PRELOAD_COMPLETE").empty());
    EXPECT_EQ (log.count ("stretch phase DONE"), 0);
    EXPECT_EQ (songsFolder().findChildFiles (juce::File::findFiles, true, "*").size(), 0) << "no cache file, no temporary file";
}

TEST_F (EnginePreStretch, ACompleteCacheEndsACacheOnlyPreloadAndHeadOnlyStemsAreReadFromIt)
{
    // The cache holds the song at 44.1 kHz only; the device runs at 48 kHz.
    const auto keysFile = sine ("keys.wav", 48000.0, 48000);
    const auto json = "[" + stem ("keys", keysFile) + "]";
    ASSERT_TRUE (writeStretchCacheFile (stretchCachePath (getStorageRoot(), "song-b", "keys", 1.25, 2.0f, 44100.0), "keys",
                                        makeSine (2, 20000, 44100.0, 440.0, 0.5f), 44100.0, {}));
    auto o = at (150.0, 2.0);
    o.cacheOnly = true;
    EXPECT_EQ (stretchedPreload (json, o), nullptr) << "a cache-only session never reaches the slot";
    const auto complete = eventsOf ("PRELOAD_COMPLETE");
    ASSERT_EQ (complete.size(), 1u);
    EXPECT_EQ ((int) complete[0]["trackCount"], 0);
    EXPECT_EQ ((double) complete[0]["sampleRate"], 44100.0);
    EXPECT_EQ (log.count ("[OFFLINE-STRETCH] preload SKIP (cache complete) song=song-b tracks=1"), 1);
    EXPECT_TRUE (eventsOf ("PRELOAD_PROGRESS").empty());

    // A head-only preload at the device rate finds the stem's stretched file and decodes only its head.
    ASSERT_TRUE (writeStretchCacheFile (cacheFile ("keys", 1.25, 2.0f), "keys", makeSine (2, 400000, 48000.0, 440.0, 0.5f), 48000.0, {}));
    auto head = at (150.0, 2.0);
    head.headOnly = true;
    head.headStartSec = -1.0;
    head.headLengthSec = 1.0;
    const auto session = stretchedPreload (json, head);
    ASSERT_NE (session, nullptr);
    ASSERT_EQ (session->tracks.size(), 1u);
    const auto& keys = session->tracks[0];
    EXPECT_TRUE (keys.servedFromCache);
    EXPECT_TRUE (keys.isHeadOnly);
    EXPECT_TRUE (keys.complementFromCache);
    EXPECT_EQ (keys.complementSource, cacheFile ("keys", 1.25, 2.0f).getFullPathName());
    EXPECT_EQ (keys.totalSamples, 400000);
    EXPECT_EQ (keys.headEndSample, 38400); // 1 s of song time at 1.25 × the tempo
    EXPECT_EQ (lengthOf (keys), 400000);
    EXPECT_TRUE (keys.samples->loadMap.isLoaded (0));
    EXPECT_FALSE (keys.samples->loadMap.isLoaded (2));
    EXPECT_EQ (log.count ("cache HIT (disco, int16, HEAD)"), 1);
}
} // namespace quorvelle::test
