// Overlap transitions on the Virtual device's manual clock, on captured samples: song A (silence)
// hands over to song B, a 16-bit ramp in the preloaded slot (sample i holds i mod 32768), so a gap, a
// repeat or a shift of B shows as a wrong value on the exact sample.
#include "EngineTransportFixture.h"
#include "tests/support/AllocationCounter.h"

#include <cmath>

namespace quorvelle::test
{
namespace
{
// Split monitoring: the song and the count overlay's music on output 0; the count, the click, the
// cues and the overlay's click and guide on output 1.
constexpr int musicChannel = 0, monitorChannel = 1;
const char* const overlapDevice = "Overlap 8";
const juce::String songB { "song-B" };
} // namespace

class EngineOverlap : public EngineTransportTest
{
protected:
    void SetUp() override
    {
        EngineTransportTest::SetUp();
        platform::VirtualDeviceInfo info;
        info.name = overlapDevice;
        info.numOutputs = 8;
        info.sampleRates = { rate };
        info.bufferSizes = { 256, 441, 512 };
        devices().addDevice (info);
    }

    // Song A, `level` (silence by default) on the drums, playing on the overlap device at `block`;
    // the click silent. A case of a table first ends the song of the case before (B, its tracks gone
    // with the reset).
    void playSongA (int block, float level = 0.0f)
    {
        if (currentDeviceName() == overlapDevice)
        {
            whileRendering ([this] { engine.reset(); });
            engine.setDeviceBufferSize (block);
            devices().clearCaptured (deviceName);
            events.clear();
        }
        else
        {
            openDevice (overlapDevice, block, 8);
        }
        engine.setSplitMonitor (true);
        engine.setMetronomeVolume (-100.0f);
        songAAudio = constant (30.0, level);
        addStem ("a", "drums", songAAudio);
        activate (120.0);
        engine.play (false, false, -1.0, {}, false, -1, -1, -1, -1);
        render (4);
    }

    // Song B in the preloaded slot: `seconds` of the 16-bit ramp, a beat every 0.6 s when `withBeats`
    // (not the tempo's 0.5 s grid, so a click that kept the tempo grid shows).
    std::shared_ptr<AudioEngine::PreloadedSession> preloadSongB (double seconds = 8.0, bool withBeats = false)
    {
        return preloadRampSong (songB, seconds, withBeats ? 0.6 : 0.0);
    }

    static double rampLevel (int64_t bSample) { return (double) (bSample % 32768) / 32768.0; }

    float sampleAt (int channel, int64_t index) const { return devices().getCaptured (deviceName, channel)[(size_t) index]; }

    // Output `channel` from `at` on holds B's samples `from` ... from + count - 1, exactly.
    void expectSongBFrom (int64_t at, int64_t from, int count, int channel = musicChannel) const
    {
        const auto samples = devices().getCaptured (deviceName, channel);
        ASSERT_LE ((size_t) (at + count), samples.size());
        int wrong = 0;
        for (int j = 0; j < count && wrong < 5; ++j)
            if ((double) samples[(size_t) (at + j)] != rampLevel (from + j))
            {
                ADD_FAILURE() << "output " << at + j << " holds " << samples[(size_t) (at + j)] * 32768.0 << ", B's sample "
                              << (from + j) % 32768 << " expected";
                ++wrong;
            }
    }

    // One tick. A tick that stops the playing transport (the first phase's reset) gets the one block
    // that the transport's stop waits for, rendered by a second thread; no other block is rendered.
    void tick()
    {
        auto& transport = engine.getMasterTransport();
        if (! transport.isPlaying())
        {
            engine.timerCallback();
            return;
        }
        std::atomic<bool> done { false };
        std::thread stepper ([&]
        {
            while (! done.load())
            {
                if (! transport.isPlaying())
                {
                    devices().renderBlocks (1, deviceName);
                    return;
                }
                std::this_thread::yield();
            }
        });
        engine.timerCallback();
        done = true;
        stepper.join();
    }

    // Renders until `predicate` holds, at most `limit` blocks; true when it held.
    bool renderUntil (const std::function<bool()>& predicate, int limit)
    {
        for (int i = 0; i < limit && ! predicate(); ++i)
            render (1);
        return predicate();
    }

    // The tick's debug lines sent since `from`.
    int linesSince (const juce::String& fragment, size_t from) const
    {
        int n = 0;
        for (size_t i = from; i < events.size(); ++i)
            n += actionOf (events[i]) == "DEBUG_LOG" && events[i].getProperty ("message", {}).toString().contains (fragment) ? 1 : 0;
        return n;
    }

    void stopAtEnd()
    {
        if (engine.getMasterTransport().isPlaying())
            whileRendering ([this] { engine.stop(); });
    }

    juce::AudioBuffer<float> songAAudio;
};

//==============================================================================
// SEQ: the count overlay plays B[s, e) over A's end, and B's transport starts on the sample where the
// overlay ends, read from e. The overlay's end falls anywhere in a block: the router waits while more
// samples are left than the block holds (with 512-sample blocks and 3 x 512 + 188 samples of overlay,
// the block that starts with 700 left hands off at its sample 188).
TEST_F (EngineOverlap, OverlayDrivenHandOffContinuesBOnTheNextSample)
{
    const struct { int block; double startSec; int overlaySamples; } cases[] = {
        { 512, 1.0, 3 * 512 + 188 }, { 512, 2.0, 24000 }, { 441, 1.5, 20000 }, { 256, 0.25, 12000 + 77 }, { 441, 3.0, 441 * 30 },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE ("block " + std::to_string (c.block) + ", overlay " + std::to_string (c.overlaySamples));
        playSongA (c.block);
        preloadSongB();
        const double endSec = c.startSec + c.overlaySamples / rate;
        const auto first = (int64_t) (c.startSec * rate), handOffSample = (int64_t) (endSec * rate);
        ASSERT_EQ (handOffSample - first, c.overlaySamples);

        engine.scheduleOverlapTransition (songB, endSec, 0.0, false, 5.0, false);
        const auto overlayStart = captured();
        engine.startCountOverlay (c.startSec, endSec, true);
        tick(); // the first phase: A's end is past, B activated and armed
        ASSERT_LT (captured(), overlayStart + c.overlaySamples) << "armed before the overlay ends";
        ASSERT_TRUE (engine.getActiveSongId() == songB);

        render ((int) ((overlayStart + c.overlaySamples - captured()) / c.block) + 12);
        ASSERT_TRUE (engine.getMasterTransport().isPlaying());

        // The overlay inside its 5 ms (240-sample) edge fades, then B from e on the very next sample.
        const int fade = 240;
        expectSongBFrom (overlayStart + fade, first + fade, c.overlaySamples - 2 * fade);
        for (int j = 0; j < fade; ++j)
        {
            ASSERT_LE (std::abs (sampleAt (musicChannel, overlayStart + j)), rampLevel (first + j) + 1.0e-6) << j;
            ASSERT_LE (std::abs (sampleAt (musicChannel, overlayStart + c.overlaySamples - 1 - j)),
                       rampLevel (handOffSample - 1 - j) + 1.0e-6)
                << j;
        }
        expectSongBFrom (overlayStart + c.overlaySamples, handOffSample, 3 * c.block);

        // The next tick finishes the transition: the count overlays and the counts are done.
        const auto before = events.size();
        engine.timerCallback();
        EXPECT_EQ (linesSince ("[TRANSITION] overlap auto-start DONE -> Song B transport running | flag->countEnd=", before), 1);
        EXPECT_EQ (linesSince ("[TRANSITION] overlap-diag flagSet->ciEnd=", before), 1);
        stopAtEnd();
    }
}

// INT: a standalone count spoken over A's end; B's first sample is the one where the count ends,
// wherever that falls in a block.
TEST_F (EngineOverlap, StandaloneCountHandOffStartsBOnTheCountsEndSample)
{
    loadCountSamples();
    for (const int block : { 256, 441, 512 })
    {
        SCOPED_TRACE ("block " + std::to_string (block));
        playSongA (block);
        preloadSongB();
        engine.scheduleOverlapTransition (songB, 0.0, 0.0, false, 5.0, false);
        const auto countStart = captured();
        engine.startStandaloneCountIn (240.0, 4, 4, "", true, true, -1.0f, -1.0f);
        const auto countEnd = countStart + engine.getCountIn().getLength();
        tick();
        ASSERT_EQ (engine.getActiveSongId(), songB);

        render ((int) ((countEnd - captured()) / block) + 8);
        EXPECT_EQ (peak (musicChannel, countStart, countEnd), 0.0f) << "B waits for the count";
        expectSongBFrom (countEnd, 0, 4 * block);
        EXPECT_GT (peak (monitorChannel, countStart, countEnd), 0.0f) << "the count was heard";

        engine.timerCallback();
        EXPECT_FALSE (engine.getCountRowsProbeForTesting().standaloneCountInActive);
        EXPECT_FALSE (engine.getCountIn().isActive());
        stopAtEnd();
    }
}

// startImmediately: B starts in the first phase's tick (the next block begins with B's start
// position); the third phase runs on the next tick, not in the same one.
TEST_F (EngineOverlap, StartImmediatelyStartsBInTheFirstPhaseTick)
{
    playSongA (441);
    preloadSongB();
    engine.scheduleOverlapTransition (songB, 2.0, 100.0, false, 5.0, true);
    const auto before = events.size();
    tick();
    EXPECT_TRUE (engine.getMasterTransport().isPlaying());
    EXPECT_EQ (linesSince ("[TRANSITION] F4 region-as-count: B transport started immediately at trigger | song=song-B | pos=2.00s", before), 1);
    EXPECT_EQ (linesSince ("overlap auto-start DONE", before), 0);

    const auto startedAt = captured();
    render (6);
    expectSongBFrom (startedAt, (int64_t) (2.0 * rate), 6 * 441);

    engine.timerCallback();
    EXPECT_EQ (linesSince ("overlap auto-start DONE", before), 1);
    engine.timerCallback();
    EXPECT_EQ (linesSince ("overlap auto-start DONE", before), 1) << "the third phase runs once";
    stopAtEnd();
}

// Fade-in: B is silent from the hand-off until the third phase's tick, then rises on the raised
// cosine: half its level 2.5 s after that tick, all of it 5 s after.
TEST_F (EngineOverlap, FadeInRisesFromTheThirdPhaseOverItsDuration)
{
    playSongA (512);
    preloadSongB (12.0);
    engine.scheduleOverlapTransition (songB, 0.0, 100.0, true, 5.0, true);
    tick();
    const auto handOff = captured();
    render (8);
    EXPECT_EQ (peak (musicChannel, handOff, captured()), 0.0f) << "silent until the third phase";

    engine.timerCallback();
    const auto rising = captured();
    render ((int) (5.2 * rate) / 512 + 2);

    // The gain reached at output sample k: its value over B's sample there (B plays from 0 at handOff).
    const auto gainAt = [&] (int64_t k)
    {
        auto bSample = k - handOff;
        while (bSample % 32768 < 1000) // away from the ramp's wrap, where the level is near 0
            ++bSample, ++k;
        return (double) sampleAt (musicChannel, k) / rampLevel (bSample);
    };
    EXPECT_LT (gainAt (rising + 100), 0.01);
    EXPECT_NEAR (gainAt (rising + (int64_t) (2.5 * rate)), 0.5, 0.01);
    EXPECT_NEAR (gainAt (rising + (int64_t) (1.25 * rate)), 0.5 - 0.5 * std::cos (juce::MathConstants<double>::pi * 0.25), 0.01);
    expectSongBFrom (rising + (int64_t) (5.0 * rate) + 512, rising + (int64_t) (5.0 * rate) + 512 - handOff, 2000);
    stopAtEnd();
}

// B's click starts on B's first beat sample, not at the start of the block that hands off: through
// the deferred setup swapped in on the audio thread (a standalone count leads in) and through the
// setup the activation applied at once (the overlay leads in).
TEST_F (EngineOverlap, BsFirstClickLandsOnBsFirstSample)
{
    loadCountSamples();
    for (const bool countLeads : { true, false })
    {
        SCOPED_TRACE (countLeads ? "standalone count" : "count overlay");
        playSongA (441);
        engine.setMetronomeVolume (0.0f);
        engine.setGuideVolume (-100.0f);
        preloadSongB (8.0, true);
        int64_t handOff = 0;
        if (countLeads)
        {
            engine.scheduleOverlapTransition (songB, 0.0, 0.0, false, 5.0, false);
            const auto countStart = captured();
            engine.startStandaloneCountIn (240.0, 4, 4, "", true, false, -1.0f, -1.0f);
            handOff = countStart + engine.getCountIn().getLength();
        }
        else
        {
            // The overlay is B's 0.6 .. 1.2 s; B starts at its beat at 1.2 s.
            engine.scheduleOverlapTransition (songB, 1.2, 0.0, false, 5.0, false);
            handOff = captured() + (int64_t) (0.6 * rate);
            engine.startCountOverlay (0.6, 1.2, true);
        }
        tick();
        render ((int) ((handOff - captured()) / 441) + (int) (1.2 * rate) / 441);

        const auto samples = devices().getCaptured (deviceName, monitorChannel);
        std::vector<int64_t> clicks;
        for (const auto& onset : findOnsets (samples.data() + handOff - 100, (int) (samples.size() - (size_t) (handOff - 100))))
            clicks.push_back (handOff - 100 + onset.sample);
        ASSERT_GE (clicks.size(), 2u);
        ASSERT_NE (handOff % 441, 0) << "the hand-off falls inside a block";
        EXPECT_EQ (clicks[0], handOff) << "the first beat on B's first sample";
        EXPECT_NEAR ((double) clicks[1], (double) (handOff + (int64_t) (0.6 * rate)), 1.0) << "then B's beat map (beat times round to a sample)";
        engine.timerCallback();
        stopAtEnd();
    }
}

// The first phase waits until A is 0.4 s from its end; until B's SESSION_LOADED every update is
// A's, and while B waits armed for a hand-off (no count here) the updates say it plays.
TEST_F (EngineOverlap, FirstPhaseRunsFourTenthsBeforeTheEndAndArmedCountsAsPlaying)
{
    openDevice (overlapDevice, 512, 8);
    engine.setSplitMonitor (true);
    activate (120.0, 200.0);
    preloadSongB();
    engine.play (false, false, 179.0, {}, false, -1, -1, -1, -1);
    engine.scheduleOverlapTransition (songB, 0.0, 180.0, false, 5.0, false);

    std::optional<size_t> loaded;
    for (int i = 0; i < 200 && ! loaded.has_value(); ++i)
    {
        render (1);
        tick();
        loaded = findAction ("SESSION_LOADED");
    }
    ASSERT_TRUE (loaded.has_value());
    int updatesOfA = 0;
    for (size_t i = 0; i < *loaded; ++i)
        if (actionOf (events[i]) == "PLAYBACK_UPDATE")
        {
            ++updatesOfA;
            EXPECT_LT ((double) events[i].getProperty ("time", 0.0), 179.6);
        }
    EXPECT_GT (updatesOfA, 10);

    for (int i = 0; i < 5; ++i)
    {
        render (2);
        engine.timerCallback();
        EXPECT_TRUE ((bool) lastUpdate().getProperty ("isPlaying", false)) << "armed";
    }
    EXPECT_FALSE (engine.getMasterTransport().isPlaying()) << "no count, no overlay: B waits";
    engine.cancelOverlapTransition();
    render (2);
    engine.timerCallback();
    EXPECT_FALSE ((bool) lastUpdate().getProperty ("isPlaying", true));
}

// Phase 1 without B in the slot: ACTIVATE_PRELOADED_FAILED, A plays on at its level (the fade-out
// made for B's fade-in is undone), the count and the overlays stop, and nothing stays armed for a
// later song.
TEST_F (EngineOverlap, FirstPhaseAbortStopsTheCountAndTheOverlays)
{
    loadCountSamples();
    playSongA (512, 0.1f);
    auto other = preloadSongB();
    other->songId = "other-song";
    engine.scheduleOverlapTransition (songB, 0.0, 0.0, true, 5.0, false);
    engine.startStandaloneCountIn (240.0, 4, 4, "", true, true, -1.0f, -1.0f);
    engine.startCountOverlay (0.0, 1.0, true); // a session of another song: the overlay is skipped
    EXPECT_EQ (countDebugLines ("[COUNT-OVERLAY] GUARD SKIP -- preloadedSession de otra cancion"), 1);
    render (20);

    const auto before = events.size();
    tick();
    EXPECT_EQ (countAction ("ACTIVATE_PRELOADED_FAILED"), 1);
    EXPECT_EQ (linesSince ("[TRANSITION] GUARD Phase 1 ABORT", before), 1);
    EXPECT_EQ (engine.getActiveSongId(), "song-1");
    EXPECT_EQ (engine.getPreloadedSession(), other);
    EXPECT_TRUE (engine.getMasterTransport().isPlaying()) << "A plays on";
    EXPECT_FALSE (engine.getCountRowsProbeForTesting().standaloneCountInActive);

    const auto after = captured();
    render (40);
    EXPECT_EQ (peak (monitorChannel, after + 512, captured()), 0.0f) << "the count stopped";
    EXPECT_EQ (sampleAt (musicChannel, captured() - 1), 0.1f) << "A sounds at its level";
    // A later count ending hands nothing off, and the tick runs no phase.
    engine.startStandaloneCountIn (240.0, 4, 4, "", true, true, -1.0f, -1.0f);
    render ((int) (engine.getCountIn().getLength() / 512) + 4);
    const auto later = events.size();
    engine.timerCallback();
    EXPECT_EQ (linesSince ("[TRANSITION]", later), 0);
    EXPECT_EQ (engine.getActiveSongId(), "song-1");
    stopAtEnd();
}

// Cancel after the first phase: B stays loaded, the overlays fall silent and no hand-off follows;
// played later, B sounds at full level (its fade-in was given up with the transition).
TEST_F (EngineOverlap, CancelAfterTheFirstPhaseLeavesBLoadedAndUnstarted)
{
    playSongA (512);
    preloadSongB();
    engine.scheduleOverlapTransition (songB, 1.0, 0.0, true, 5.0, false);
    const auto overlayStart = captured();
    engine.startCountOverlay (0.5, 1.0, true);
    tick();
    ASSERT_EQ (engine.getActiveSongId(), songB);
    render (4);
    ASSERT_GT (peak (musicChannel, overlayStart, captured()), 0.0f);

    engine.cancelOverlapTransition();
    const auto cancelled = captured();
    render (80);
    EXPECT_EQ (peak (musicChannel, cancelled, captured()), 0.0f);
    EXPECT_FALSE (engine.getMasterTransport().isPlaying());
    EXPECT_EQ (engine.getActiveSongId(), songB);
    const auto before = events.size();
    engine.timerCallback();
    EXPECT_EQ (linesSince ("[TRANSITION]", before), 0);

    engine.play (false, false, -1.0, {}, false, -1, -1, -1, -1); // a plain play starts at 0
    const auto playedAt = captured();
    render (8);
    expectSongBFrom (playedAt + 1024, 1024, 2048);
    stopAtEnd();
}

// A pause after the first phase: B stays loaded and paused with its click and cue setup applied at
// once, its fade-in given up (full level on resume), and the count's end starts nothing.
TEST_F (EngineOverlap, PauseAfterTheFirstPhaseKeepsBPausedWithItsSetup)
{
    loadCountSamples();
    playSongA (512);
    preloadSongB (8.0, true);
    engine.scheduleOverlapTransition (songB, 0.0, 0.0, true, 5.0, false);
    const auto countStart = captured();
    engine.startStandaloneCountIn (240.0, 4, 4, "", true, true, -1.0f, -1.0f);
    const auto countEnd = countStart + engine.getCountIn().getLength();
    tick();
    ASSERT_EQ (engine.getActiveSongId(), songB);
    render (8);

    engine.pause();
    EXPECT_EQ (countDebugLines ("[TRANSITION] pause mid-transition -> count/overlay cancelled | B armed & paused (transition committed)"), 1);
    EXPECT_EQ (log.count ("AudioEngine: Deferred cue setup applied"), 1);
    EXPECT_EQ (countDebugLines ("[TRANSITION] deferred metronome FIRING (message thread, FALLBACK path) | bpm=120.0 | beatmap=14"), 1);

    render ((int) ((countEnd - captured()) / 512) + 8);
    EXPECT_FALSE (engine.getMasterTransport().isPlaying());
    EXPECT_EQ (peak (musicChannel, countStart, captured()), 0.0f);
    const auto before = events.size();
    engine.timerCallback();
    EXPECT_EQ (linesSince ("[TRANSITION]", before), 0);

    // Resumed, B plays from its start at full level: no fade waits for a hand-off that will not come.
    engine.resume();
    const auto resumedAt = captured();
    render (8);
    expectSongBFrom (resumedAt + 1024, 1024, 2048);
    stopAtEnd();
}

// Which music the count overlay plays: the premix whole when it fits the window (or no window is
// given), the window rebuilt when the premix is more than 0.25 s longer, the window built from the
// tracks without a premix; B's click and guide stems play on their own players.
TEST_F (EngineOverlap, CountOverlayChoosesItsMusic)
{
    openDevice (overlapDevice, 512, 8);
    auto session = preloadSongB (8.0);
    AudioEngine::PreloadedTrack click;
    click.trackId = "c";
    click.instrumentType = "CLICK";
    click.volumeDb = 0.0f;
    click.samples->buffer = std::make_unique<juce::AudioBuffer<float>> (1, (int) (8 * rate));
    click.samples->buffer->clear();
    click.samples->buffer->setSample (0, (int) (1.25 * rate), 1.0f);
    session->tracks.push_back (std::move (click));
    const auto premixOf = [&] (double seconds)
    {
        session->premix = std::make_unique<juce::AudioBuffer<float>> (2, (int) (seconds * rate));
        session->premix->clear();
    };

    const struct { double premixSeconds, start, end; const char* line; } cases[] = {
        { 2.1, 1.0, 3.0, "[COUNT-OVERLAY] playback started (pre-mixed music) [SEQ: overlay arranca B] | music=Y clickSEQ=Y guideSEQ=N | srcRate=48000 devRate=48000 dur=2.10s" },
        { 2.3, 1.0, 3.0, "[COUNT-OVERLAY] playback started (on-demand music) [SEQ: overlay arranca B] | music=Y clickSEQ=Y guideSEQ=N | srcRate=48000 devRate=48000 dur=2.00s" },
        { 2.3, 3.0, 3.0, "[COUNT-OVERLAY] playback started (pre-mixed music) [SEQ: overlay arranca B] | music=Y clickSEQ=N guideSEQ=N | srcRate=48000 devRate=48000 dur=2.30s" },
        { 0.0, 1.0, 1.5, "[COUNT-OVERLAY] playback started (on-demand music) [SEQ: overlay arranca B] | music=Y clickSEQ=Y guideSEQ=N | srcRate=48000 devRate=48000 dur=0.50s" },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.line);
        if (c.premixSeconds > 0.0)
            premixOf (c.premixSeconds);
        else
            session->premix.reset();
        events.clear();
        engine.scheduleOverlapTransition (songB, c.end, 100.0, false, 5.0, false);
        engine.startCountOverlay (c.start, c.end, true);
        EXPECT_EQ (countDebugLines (c.line), 1);
        EXPECT_EQ (countDebugLines ("pre-mixed excede el lead"), c.premixSeconds > 2.2 && c.start < c.end ? 1 : 0);
    }

    // No session, or one of another song: skipped, and B starts at the first phase.
    events.clear();
    engine.scheduleOverlapTransition ("song-C", 1.0, 100.0, false, 5.0, false);
    engine.startCountOverlay (0.0, 1.0, true);
    EXPECT_EQ (countDebugLines ("[COUNT-OVERLAY] GUARD SKIP -- preloadedSession de otra cancion (session=song-B esperada=song-C); B arrancara en Phase 1 (sin overlay)"), 1);
    engine.setPreloadedSessionForTesting (nullptr);
    engine.startCountOverlay (0.0, 1.0, false);
    EXPECT_EQ (countDebugLines (juce::String::fromUTF8 ("[COUNT-OVERLAY] startCountOverlay \xe2\x80\x94 sin preloaded session")), 1);
    EXPECT_EQ (countDebugLines ("playback started"), 0);
}

// The hand-off block allocates and frees nothing on the audio thread, with B's deferred click and
// cue timing swapped in there; only the song transport's own lock is taken.
TEST_F (EngineOverlap, HandOffAllocatesNothingOnTheAudioThread)
{
    loadCountSamples();
    playSongA (512);
    preloadSongB (8.0, true);
    engine.scheduleOverlapTransition (songB, 0.0, 0.0, false, 5.0, false);
    engine.startStandaloneCountIn (240.0, 4, 4, "", true, true, -1.0f, -1.0f);
    const auto countLength = engine.getCountIn().getLength();
    tick();
    ASSERT_EQ (engine.getActiveSongId(), songB);

    auto& router = engine.getRouter();
    auto& transport = engine.getMasterTransport();
    long long allocations = 0, locks = 0;
    int handOffBlock = -1;
    std::thread audio ([&]
    {
        juce::AudioBuffer<float> block (8, 512);
        const juce::AudioSourceChannelInfo info (block);
        for (int b = 0; b < countLength / 512 + 20; ++b)
        {
            AllocationCounter counter;
            router.getNextAudioBlock (info);
            allocations += counter.allocations() + counter.frees();
            locks += counter.locksOutside ({ AllocationCounter::locksOf (transport) });
            if (handOffBlock < 0 && transport.isPlaying())
                handOffBlock = b;
        }
    });
    audio.join();
    ASSERT_GE (handOffBlock, 0) << "B started";
    EXPECT_EQ (allocations, 0);
    EXPECT_EQ (locks, 0);
    engine.timerCallback();
    AudioThreadLog::shared().drain();
    EXPECT_EQ (countDebugLines ("[TRANSITION] deferred metronome FIRING (audio thread, overlapStart) | bpm=120.0 | beatmap=14 | hasTs=Y"), 1);
    EXPECT_EQ (countDebugLines ("FALLBACK path"), 0);
    stopAtEnd();
}
} // namespace quorvelle::test
