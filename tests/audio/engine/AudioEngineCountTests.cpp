// Counts that leave the transport alone, on rendered samples: the standalone count-in, its stop and
// its loop, the count-voice overlay of a region, and the count jump (primed, through the fallback,
// and without cue samples).
#include "EngineTransportFixture.h"
#include "tests/support/MessageLoop.h"

#include <algorithm>
#include <tuple>

namespace quorvelle::test
{
namespace
{
// Split monitoring: the song's audience side on output 0, the count (and the silenced click) on
// the monitor side, output 1. (The music gain acts on the song chain's own output.)
constexpr int musicChannel = 0, countChannel = 1;
} // namespace

class EngineCounts : public EngineTransportTest
{
protected:
    // The count device at `block`, split: the song on output 0, the count on output 1.
    void openCountOutputs (int block)
    {
        defineCountDevice();
        openDevice (countDevice, block, 8);
        engine.setSplitMonitor (true);
        engine.setMetronomeVolume (-100.0f);
    }

    // A song whose drums are a ramp: the sample at song position k is (k + 1) / rampLength, so an
    // output sample tells where the song was read.
    void activateRampSong()
    {
        ramp.setSize (2, rampLength);
        for (int c = 0; c < 2; ++c)
            for (int k = 0; k < rampLength; ++k)
                ramp.setSample (c, k, rampValue (k));
        addStem ("d", "drums", ramp);
        activate (120.0);
    }
    static float rampValue (int64_t k) { return (float) (k + 1) / (float) rampLength; }

    float sampleAt (int channel, int64_t index) const { return devices().getCaptured (deviceName, channel)[(size_t) index]; }

    // The output samples, from `from` on, at which a sound starts on `channel`.
    std::vector<int64_t> onsets (int channel, int64_t from = 0) const
    {
        const auto samples = devices().getCaptured (deviceName, channel);
        std::vector<int64_t> found;
        if ((size_t) from >= samples.size())
            return found;
        for (const auto& onset : findOnsets (samples.data() + from, (int) (samples.size() - (size_t) from)))
            found.push_back (from + onset.sample);
        return found;
    }

    juce::StringArray spokenKeys()
    {
        juce::StringArray keys;
        for (const auto& event : engine.getCountIn().getEvents())
            if (event.clickKind < 0)
                keys.add (event.key);
        return keys;
    }

    AudioEngine::CountRowsProbe probe() const { return engine.getCountRowsProbeForTesting(); }

    // Plays the ramp song from its start on the count device, the output captured from sample 0.
    void playRampSong (int block)
    {
        openCountOutputs (block);
        activateRampSong();
        devices().clearCaptured (deviceName);
        engine.play (false, false, -1.0, {}, false, -1, -1, -1, -1);
    }

    // Arms a count jump at song sample `trigger` to `target` and renders the block that crosses it.
    void jumpAt (int64_t trigger, int64_t target, int block)
    {
        engine.setBoundaryCountJump (true);
        engine.getLoopRegion().setJump (trigger, target, true);
        render ((int) ((trigger - captured()) / block) + 1);
        ASSERT_GT (captured(), trigger);
    }

    // The music back at `handOff`: a 0.005 s raised cosine, then the song read from `landing` on.
    void expectMusicBackFrom (int64_t handOff, int64_t landing) const
    {
        EXPECT_LT (std::abs (sampleAt (musicChannel, handOff)), 0.01f * rampValue (landing)) << "the ramp starts from silence";
        const auto half = sampleAt (musicChannel, handOff + 120) / rampValue (landing + 120);
        EXPECT_NEAR (half, 0.5f, 0.03f) << "half way up the raised cosine";
        for (const int i : { 240, 300, 1000 })
            EXPECT_NEAR (sampleAt (musicChannel, handOff + i), rampValue (landing + i), 1.0e-5f) << "read from the landing, offset " << i;
    }

    static constexpr int rampLength = 12 * 48000;
    juce::AudioBuffer<float> ramp;
};

//==============================================================================
TEST_F (EngineCounts, StandaloneCountSpeaksWithoutMovingTheTransport)
{
    ASSERT_TRUE (AssetFolders::writeTone (assets.cues, "intro.wav", rate, 2000, 0.3f));
    loadCountSamples();
    openCountOutputs (512);
    activateRampSong();

    // What the executor passes for an empty START_COUNT_IN.
    engine.startStandaloneCountIn (120.0, 4, 4, "intro", true, true, -1.0f, -1.0f);
    EXPECT_TRUE (probe().standaloneCountInActive);
    EXPECT_FALSE (probe().countInRunning);
    EXPECT_EQ (engine.getCountInPhase(), 0);
    EXPECT_EQ (spokenKeys().joinIntoString (","), "1,,2,,intro,2,3,4");
    EXPECT_EQ (engine.getCountIn().getLength(), 192000) << "two bars at 120 bpm";
    EXPECT_TRUE (findDebugLine ("AudioEngine: Standalone count-in started at BPM 120 (4/4) section: intro").has_value());

    render (192000 / 512 + 2);
    const auto heard = onsets (countChannel);
    for (const auto& event : engine.getCountIn().getEvents())
    {
        if (event.key.isNotEmpty())
        {
            EXPECT_TRUE (std::find (heard.begin(), heard.end(), event.samplePos / 512 * 512) != heard.end()) << event.key;
        }
    }
    EXPECT_EQ (firstSound (countChannel), 0);
    EXPECT_FALSE (engine.getCountIn().isActive());
    EXPECT_FALSE (engine.getMasterTransport().isPlaying());
    EXPECT_EQ (engine.getCountInPhase(), 0);
    EXPECT_EQ (peak (musicChannel, 0, captured()), 0.0f);
}

TEST_F (EngineCounts, InvalidStandaloneCountsChangeNothing)
{
    loadCountSamples();
    openCountOutputs (512);
    const struct { double bpm; int numerator, denominator; const char* line; } cases[] = {
        { 0.0, 4, 4, "[COUNT-IN] ABORTED: invalid musical metadata bpm=0 ts=4/4" },
        { 100.4, 0, 4, "[COUNT-IN] ABORTED: invalid musical metadata bpm=100 ts=0/4" },
        { 90.0, 3, 0, "[COUNT-IN] ABORTED: invalid musical metadata bpm=90 ts=3/0" },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.line);
        events.clear();
        engine.startStandaloneCountIn (c.bpm, c.numerator, c.denominator, "intro", true, true, -1.0f, -1.0f);
        EXPECT_EQ (countDebugLines (c.line), 1);
        EXPECT_FALSE (probe().standaloneCountInActive);
        EXPECT_FALSE (engine.getCountIn().isActive());
    }
}

// STOP_COUNT_IN silences a standalone count in the next block and clears both count flags; the
// song under it plays on.
TEST_F (EngineCounts, StoppingTheCountSilencesItAtOnce)
{
    loadCountSamples();
    playRampSong (512);
    render (4);
    engine.startStandaloneCountIn (120.0, 4, 4, "intro", true, true, -1.0f, -1.0f);
    render (10);
    ASSERT_GT (peak (countChannel, captured() - 5120, captured()), 0.0f);

    const auto stoppedAt = captured();
    engine.cancelStandaloneCountIn();
    render (4);
    EXPECT_EQ (peak (countChannel, stoppedAt, captured()), 0.0f);
    EXPECT_GT (peak (musicChannel, stoppedAt, captured()), 0.0f);
    EXPECT_TRUE (engine.getMasterTransport().isPlaying());
    EXPECT_EQ (engine.getCountInPhase(), 2);
    EXPECT_FALSE (probe().standaloneCountInActive);
    EXPECT_FALSE (probe().countInRunning);
    whileRendering ([this] { engine.stop(); });
}

TEST_F (EngineCounts, ACountLoopFiresOneRepeatEventPerExtraPass)
{
    loadCountSamples();
    openCountOutputs (512);
    activateRampSong();
    engine.startStandaloneCountIn (240.0, 4, 4, "intro", true, true, -1.0f, -1.0f);
    const auto passLength = engine.getCountIn().getLength();
    engine.setCountInLoopsRemaining (2);

    int blocks = 0;
    while (engine.getCountIn().isActive() && blocks < 4 * passLength / 512)
    {
        render (1);
        engine.timerCallback();
        ++blocks;
    }
    EXPECT_FALSE (engine.getCountIn().isActive());
    EXPECT_GE (captured(), 3 * passLength) << "three passes";
    EXPECT_LT (captured(), 3 * passLength + 1024);
    EXPECT_EQ (countAction ("COUNT_IN_REPEAT_FIRED"), 2);
    EXPECT_EQ (countDebugLines ("[COUNT-IN] REPEAT_FIRED (wrap)"), 2);
}

// A standalone count's delayed release belongs to that count only: a later count keeps its flag
// until it has ended itself.
TEST_F (EngineCounts, AnEarlierCountsReleaseLeavesALaterCountAlone)
{
    loadCountSamples();
    openCountOutputs (512);
    activateRampSong();
    engine.startStandaloneCountIn (480.0, 4, 4, "intro", true, true, -1.0f, -1.0f); // 1 s: released after 1.2 s
    engine.startStandaloneCountIn (480.0, 4, 4, "intro", true, true, -1.0f, -1.0f);
    runMessageLoopFor (1600);
    EXPECT_TRUE (probe().standaloneCountInActive) << "the second count has not spoken yet";

    render ((int) (engine.getCountIn().getLength() / 512) + 2);
    ASSERT_FALSE (engine.getCountIn().isActive());
    EXPECT_TRUE (runMessageLoopUntil ([this] { return ! probe().standaloneCountInActive; }));
}

// Play's count right after a standalone count, before that count's release: play's count still
// starts the song on its end.
TEST_F (EngineCounts, PlaysCountStartsTheSongBeforeAStandaloneCountsRelease)
{
    loadCountSamples();
    openCountOutputs (512);
    activateRampSong();
    engine.startStandaloneCountIn (480.0, 4, 4, "intro", true, true, -1.0f, -1.0f);
    render ((int) (engine.getCountIn().getLength() / 512) + 2);
    ASSERT_FALSE (engine.getCountIn().isActive());
    ASSERT_TRUE (probe().standaloneCountInActive) << "its release is still to come";

    engine.play (true, true, -1.0, {}, false, -1, -1, -1, 0.5);
    ASSERT_EQ (engine.getCountInPhase(), 1);
    render (24000 / 512 + 2);
    EXPECT_EQ (engine.getCountInPhase(), 2);
    EXPECT_TRUE (engine.getMasterTransport().isPlaying());
    whileRendering ([this] { engine.stop(); });
}

//==============================================================================
// The voices of a region overlay: which beats speak, where, and when the overlay ends.
TEST_F (EngineCounts, RegionVoicesKeepTheirSpanAndEnd)
{
    ASSERT_TRUE (AssetFolders::writeTone (assets.cues, "coro.wav", rate, 2000, 0.3f));
    loadCountSamples();
    openCountOutputs (512);
    activateRampSong();

    // 120 bpm in 4/4: "1" at 0, "2" at 1, the section's name at 2, "2", "3", "4" at 2.5, 3, 3.5; 4 s.
    const struct
    {
        double delay, span;
        const char* section;
        std::vector<double> voices; // seconds
        double end;
    } cases[] = {
        { 0.0, -1.0, "", { 0.0, 1.0, 2.5, 3.0, 3.5 }, 4.0 },
        { 0.0, 2.0, "", { 0.0, 1.0 }, 2.0 },
        { -0.5, -1.0, "", { 0.5, 2.0, 2.5, 3.0 }, 3.5 },
        { -0.04, -1.0, "", { 0.0, 0.96, 2.46, 2.96, 3.46 }, 3.96 },
        { 1.0, 3.0, "", { 1.0, 2.0 }, 3.0 },
        { 0.0, -1.0, "Coro", { 0.0, 1.0, 2.0, 2.5, 3.0, 3.5 }, 4.0 },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (testing::Message() << "delay " << c.delay << " span " << c.span << " section " << c.section);
        events.clear();
        devices().clearCaptured (deviceName);
        engine.startCountRegionVoice (120.0, 4, 4, 10.0, 20.0, c.delay, c.span, false, c.section, -1.0);
        EXPECT_EQ (countDebugLines ("| voices=" + juce::String ((int) c.voices.size()) + " |"), 1);
        ASSERT_TRUE (engine.getCountIn().isRegionOverlayActive());

        const auto endSample = (int64_t) std::llround (c.end * rate);
        const int blocks = (int) ((endSample + 511) / 512);
        render (blocks - 1);
        EXPECT_TRUE (engine.getCountIn().isRegionOverlayActive());
        render (1);
        EXPECT_FALSE (engine.getCountIn().isRegionOverlayActive()) << "ends with the block that reaches its end";

        std::vector<int64_t> expected;
        for (const auto seconds : c.voices)
            expected.push_back (std::llround (seconds * rate) / 512 * 512); // a voice starts with its block
        EXPECT_EQ (onsets (countChannel), expected);
    }
    EXPECT_DOUBLE_EQ (probe().countRegionStart, 10.0);
    EXPECT_DOUBLE_EQ (probe().countRegionEnd, 20.0);
}

class ArmedRegionVoices : public EngineCounts, public testing::WithParamInterface<int>
{
};

TEST_P (ArmedRegionVoices, StartInTheBlockAfterTheCountsLastBlock)
{
    const int block = GetParam();
    loadCountSamples();
    openCountOutputs (block);
    activateRampSong();
    engine.startStandaloneCountIn (100.0, 4, 4, "intro", true, true, -1.0f, -1.0f);
    const auto countLength = engine.getCountIn().getLength();
    engine.startCountRegionVoice (120.0, 4, 4, -1.0, -1.0, 0.0, -1.0, true, {}, -1.0);
    EXPECT_TRUE (findDebugLine ("[COUNT-VOICE] region voice overlay (designed) | voices=5").has_value());
    EXPECT_TRUE (countDebugLines ("| ARMADO (activa en handoff del frente C2)") == 1);
    EXPECT_FALSE (engine.getCountIn().isRegionOverlayActive());

    render ((int) (countLength / block) + 4);
    const auto afterCount = (countLength + block - 1) / block * block;
    EXPECT_EQ (firstSound (countChannel, countLength - 1000), afterCount);
}

INSTANTIATE_TEST_SUITE_P (Blocks, ArmedRegionVoices, testing::Values (441, 512));

// The position callback speaks the overlay again when the song lands in its window (or just
// before it); while a count jump holds the music it leaves that to the jump's hand-off.
TEST_F (EngineCounts, ALandingInTheWindowRestartsTheVoices)
{
    loadCountSamples();
    openCountOutputs (512);
    activateRampSong();
    const struct
    {
        double songTime;
        bool jump, restarts;
    } cases[] = {
        { 9.96, false, true }, { 9.94, false, false }, { 15.0, false, true }, { 19.99, false, true },
        { 20.0, false, false }, { 12.0, true, false },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (testing::Message() << "at " << c.songTime << (c.jump ? " with a count jump" : ""));
        engine.startCountRegionVoice (120.0, 4, 4, 10.0, 20.0, 0.0, -1.0, false, {}, -1.0);
        render (192000 / 512 + 1);
        ASSERT_FALSE (engine.getCountIn().isRegionOverlayActive());

        engine.setBoundaryCountJump (c.jump);
        engine.onTransportPosition ((int64_t) (c.songTime * rate), rate);
        EXPECT_EQ (engine.getCountIn().isRegionOverlayActive(), c.restarts);
        EXPECT_EQ (probe().overlayDeferred, c.jump);
        EXPECT_EQ (probe().countJumpFallbackRequested, c.jump);
        if (c.restarts)
        {
            devices().clearCaptured (deviceName);
            render (2);
            EXPECT_EQ (firstSound (countChannel), 0) << "from the first voice";
        }
        engine.stop();
    }
}

//==============================================================================
// A primed count jump: the music falls silent at the jump, the count speaks, and the music comes
// back on the landing at the start of the block after the count's last block.
struct LandingCase
{
    double landingUpdate; // song seconds; 0: none
    int64_t landing;      // -1: where the song has run to
};

class PrimedCountJump : public EngineCounts, public testing::WithParamInterface<std::tuple<int, LandingCase>>
{
};

TEST_P (PrimedCountJump, MusicResumesOnTheLandingWhenTheCountEnds)
{
    const auto [block, c] = GetParam();
    const int64_t trigger = 30000, target = 240000;
    loadCountSamples();
    playRampSong (block);
    engine.setCountJumpTempo (240.0, 4, 4, 0.0);
    ASSERT_TRUE (probe().countJumpPrimed);
    EXPECT_TRUE (findDebugLine ("[COUNT-JUMP] PRIMED (pre-built) | section=\"\" | bpm=240.0 ts=4/4").has_value());
    const auto countLength = engine.getCountIn().getLength();

    jumpAt (trigger, target, block);
    EXPECT_TRUE (probe().countJumpActive);
    EXPECT_FALSE (probe().countJumpPrimed);
    EXPECT_TRUE (probe().countInRunning);
    EXPECT_EQ (engine.getCountInPhase(), 1);
    if (c.landingUpdate != 0.0)
        engine.updateCountJumpSeekTarget (c.landingUpdate);

    const auto countStart = (trigger / block + 1) * block;
    const auto handOff = countStart + (countLength / block + 1) * block;
    render ((int) ((handOff - captured()) / block) + 4);

    EXPECT_EQ (firstSound (countChannel, trigger), countStart) << "the count starts in the block after the jump";
    EXPECT_EQ (peak (musicChannel, trigger + 256, handOff), 0.0f) << "silent during the count";
    expectMusicBackFrom (handOff, c.landing >= 0 ? c.landing : target + (handOff - trigger));
    EXPECT_FALSE (probe().countJumpActive);
    EXPECT_FALSE (probe().countInRunning);
    EXPECT_EQ (engine.getCountInPhase(), 2);
    whileRendering ([this] { engine.stop(); });
}

// Landing on the jump's target, on a target updated during the count, and (negative update) where
// the song has run to.
INSTANTIATE_TEST_SUITE_P (BlocksAndLandings, PrimedCountJump,
                          testing::Combine (testing::Values (441, 512),
                                            testing::Values (LandingCase { 0.0, 240000 }, LandingCase { 6.0, 288000 },
                                                             LandingCase { -2.0, -1 })));

// A prime with invalid values is refused; the jump then counts through the fallback on the next
// tick, with the song's own signature.
TEST_F (EngineCounts, TheFallbackCountsWithTheSongsSignature)
{
    loadCountSamples();
    playRampSong (512);
    engine.setTimeSignature (3, 4);
    engine.setCountJumpTempo (100.0, 0, 4, 0.0);
    EXPECT_EQ (countDebugLines ("[COUNT-JUMP] prime ABORTED: invalid musical metadata bpm=100 ts=0/4"), 1);
    EXPECT_FALSE (probe().countJumpPrimed);

    const int64_t trigger = 30000, target = 240000;
    jumpAt (trigger, target, 512);
    EXPECT_TRUE (probe().countJumpFallbackRequested);
    EXPECT_FALSE (probe().countJumpActive) << "the router waits for the fallback's count";

    engine.timerCallback();
    EXPECT_TRUE (findDebugLine ("[COUNT-JUMP] FALLBACK standalone (prime no alcanz").has_value());
    EXPECT_TRUE (findDebugLine ("AudioEngine: Standalone count-in started at BPM 100 (3/4)").has_value());
    EXPECT_EQ (engine.getCountIn().numerator, 3);
    EXPECT_TRUE (probe().countJumpActive);
    EXPECT_EQ (engine.getCountInPhase(), 1);

    const auto countStart = captured();
    const auto handOff = countStart + (engine.getCountIn().getLength() / 512 + 1) * 512;
    render ((int) ((handOff - captured()) / 512) + 4);
    EXPECT_EQ (peak (musicChannel, trigger + 256, handOff), 0.0f);
    expectMusicBackFrom (handOff, target);
    EXPECT_EQ (engine.getCountInPhase(), 2);
    whileRendering ([this] { engine.stop(); });
}

// Without cue samples no count can be built, primed or not: the music comes back on the landing
// within one block of the fallback's tick, once, and the jump is over.
class CountJumpWithoutCues : public EngineCounts, public testing::WithParamInterface<bool>
{
};

TEST_P (CountJumpWithoutCues, HandsOffAtOnce)
{
    const bool primeFirst = GetParam();
    playRampSong (512);
    if (primeFirst)
        engine.setCountJumpTempo (120.0, 4, 4, 0.0);
    EXPECT_FALSE (probe().countJumpPrimed);

    const int64_t trigger = 30000, target = 240000;
    jumpAt (trigger, target, 512);
    render (2);
    EXPECT_EQ (peak (musicChannel, trigger + 256, captured()), 0.0f);

    engine.timerCallback();
    EXPECT_EQ (countDebugLines ("[COUNT-JUMP] count could not be built"), 1);
    EXPECT_FALSE (probe().countJumpActive);
    EXPECT_FALSE (probe().countJumpFallbackRequested);
    EXPECT_FALSE (probe().countInRunning);
    EXPECT_FALSE (probe().standaloneCountInActive);
    EXPECT_EQ (engine.getCountInPhase(), 2);

    const auto tick = captured();
    render (4);
    expectMusicBackFrom (tick, target);
    engine.timerCallback();
    EXPECT_EQ (countDebugLines ("[COUNT-JUMP] count could not be built"), 1) << "one hand-off";
    whileRendering ([this] { engine.stop(); });
}

INSTANTIATE_TEST_SUITE_P (PrimedOrNot, CountJumpWithoutCues, testing::Bool());

// STOP_COUNT_IN while a jump's count speaks ends the jump: the music comes back on its landing.
TEST_F (EngineCounts, StoppingAJumpsCountGivesTheMusicBack)
{
    loadCountSamples();
    playRampSong (512);
    engine.setCountJumpTempo (120.0, 4, 4, 0.0);
    const int64_t trigger = 30000, target = 240000;
    jumpAt (trigger, target, 512);
    render (20);
    ASSERT_TRUE (probe().countJumpActive);

    engine.cancelStandaloneCountIn();
    EXPECT_EQ (countDebugLines ("[COUNT-JUMP] count stopped"), 1);
    EXPECT_FALSE (probe().countJumpActive);
    EXPECT_FALSE (probe().countInRunning);
    EXPECT_EQ (engine.getCountInPhase(), 2);
    const auto stoppedAt = captured();
    render (4);
    EXPECT_EQ (peak (countChannel, stoppedAt, captured()), 0.0f);
    expectMusicBackFrom (stoppedAt, target);
    whileRendering ([this] { engine.stop(); });
}

//==============================================================================
// STOP_COUNT_IN during play's own count calls that play off: nothing is left counting, the click
// does not run on its own while the song stands, and the next play's clicks lie on the beat grid
// from its first sample, as they do after a plain stop.
TEST_F (EngineCounts, StoppingPlaysCountCallsThePlayOffAndTheNextPlayClicksOnTheGrid)
{
    loadCountSamples();
    defineCountDevice();
    openDevice (countDevice, 512, 8); // the click on output 0, the song on 2
    engine.getRouter().setRouting ("drums", 2, false);
    activateRampSong();
    constexpr int clickChannel = 0;
    constexpr int64_t beat = 24000; // 120 bpm at 48 kHz

    const struct { const char* what; bool countFirst, stopAfter; } cases[] = {
        { "plain play, stop, play", false, true },
        { "count stopped, play", true, false },
        { "count stopped, stop, play", true, true },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        devices().clearCaptured (deviceName);
        events.clear();
        if (c.countFirst)
        {
            engine.play (true, true, -1.0, {}, false, -1, -1, -1, -1);
            ASSERT_EQ (engine.getCountInPhase(), 1);
            render (20); // 10,240 samples into the count
            ASSERT_TRUE (engine.getCountIn().isActive());

            engine.cancelStandaloneCountIn();
            EXPECT_EQ (engine.getCountInPhase(), 0) << "no count waits to start the song";
            EXPECT_FALSE (engine.isPlaybackGateOpen());
            EXPECT_FALSE (engine.isCountHeld());
            EXPECT_FALSE (engine.getMasterTransport().isPlaying());
            const auto stoppedAt = captured();
            render (20);
            EXPECT_EQ (peak (clickChannel, stoppedAt, captured()), 0.0f) << "the click stays silent while nothing plays";
            EXPECT_EQ (peak (2, stoppedAt, captured()), 0.0f);
            engine.timerCallback();
            EXPECT_FALSE ((bool) lastUpdate().getProperty ("isCountingIn", false));
        }
        else
        {
            engine.play (false, false, -1.0, {}, false, -1, -1, -1, -1);
            render (20);
        }
        if (c.stopAfter)
            whileRendering ([this] { engine.stop(); });

        devices().clearCaptured (deviceName);
        engine.play (false, false, -1.0, {}, false, -1, -1, -1, -1);
        EXPECT_EQ (engine.getCountInPhase(), 2) << "play is not refused";
        render ((int) (4 * beat / 512) + 2);
        const auto click = devices().getCaptured (deviceName, clickChannel);
        const auto heard = findOnsets (click.data(), (int) click.size());
        ASSERT_GE (heard.size(), 4u);
        // On the sixteenth grid; the constant-tempo clock may place a click one sample early.
        for (const auto& onset : heard)
        {
            const auto fromGrid = (onset.sample + 1) % (beat / 4) - 1;
            EXPECT_TRUE (fromGrid == 0 || fromGrid == -1) << "click at " << onset.sample << " is off the grid";
        }
        EXPECT_EQ (heard.front().sample, 0);
        EXPECT_EQ (firstSound (2), 0) << "the song from its first sample";
        whileRendering ([this] { engine.stop(); });
    }
}
} // namespace quorvelle::test
