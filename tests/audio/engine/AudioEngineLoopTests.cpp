// Loop regions, loop seeks and boundary seeks on rendered samples, on the Virtual device's manual
// clock with blocks of 441 and 512 (boundaries fall inside blocks): a ramp stem tells, sample by
// sample, where the song was read. The tick is called by the test.
#include "EngineTransportFixture.h"

#include <cmath>

namespace quorvelle::test
{
class EngineLoops : public EngineTransportTest
{
protected:
    static constexpr int musicChannel = 2;
    static constexpr int rampLength = 12 * 48000;

    // The count device at `block`, the click silenced, "drums" alone on output 2; a ramp song at
    // `sessionRate` and `bpm`, stopped at its start, the capture empty.
    void setUpRampSong (int block, double sessionRate = rate, double bpm = 120.0)
    {
        defineCountDevice();
        openDevice (countDevice, block, 8);
        blockSize = block;
        engine.setMetronomeVolume (-100.0f);
        engine.getRouter().setRouting ("drums", musicChannel, false);
        ramp.setSize (2, rampLength);
        for (int c = 0; c < 2; ++c)
            for (int k = 0; k < rampLength; ++k)
                ramp.setSample (c, k, rampValue (k));
        addStem ("d", "drums", ramp);
        engine.activateSongForTesting ("song-1", sessionRate, bpm, 40.0);
        devices().clearCaptured (deviceName);
        events.clear();
    }
    static float rampValue (int64_t k) { return (float) (k + 1) / (float) rampLength; }

    void playFrom (double songTime) { engine.play (false, false, songTime, {}, false, -1, -1, -1, -1); }

    // Renders until the output holds `samples` from the start of the capture.
    void renderTo (int64_t samples) { render ((int) ((samples - captured() + blockSize - 1) / blockSize)); }

    std::vector<float> music() const { return devices().getCaptured (deviceName, musicChannel); }

    // The first place, after `from`, where the ramp does not go on by one sample: the output index
    // of the first sample read elsewhere; -1 when none.
    int64_t findCut (int64_t from = 2000) const
    {
        const auto y = music();
        const float step = 1.0f / (float) rampLength;
        for (auto i = (size_t) std::max<int64_t> (from, 1); i < y.size(); ++i)
            if (std::abs (y[i] - y[i - 1] - step) > 1.0e-5f)
                return (int64_t) i;
        return -1;
    }

    // The output reads song sample `before` up to index `at` - 1 and `after` from `at` on, with
    // nothing lost or doubled for 2000 samples on either side.
    void expectCut (int64_t at, int64_t before, int64_t after) const
    {
        const auto y = music();
        ASSERT_GE (at, 2000);
        ASSERT_LE ((size_t) (at + 2000), y.size());
        for (int i = 1; i <= 2000; ++i)
            ASSERT_NEAR (y[(size_t) (at - i)], rampValue (before - i + 1), 2.0e-7f) << i << " samples before the cut";
        for (int i = 0; i < 2000; ++i)
            ASSERT_NEAR (y[(size_t) (at + i)], rampValue (after + i), 2.0e-7f) << i << " samples after the cut";
    }

    // Ticks once and returns the events of that tick.
    std::vector<juce::var> tick()
    {
        events.clear();
        engine.timerCallback();
        return events;
    }

    static std::vector<juce::String> actionsOf (const std::vector<juce::var>& sent)
    {
        std::vector<juce::String> actions;
        for (const auto& e : sent)
            if (actionOf (e) != "DEBUG_LOG")
                actions.push_back (actionOf (e));
        return actions;
    }

    static const juce::var* firstOf (const std::vector<juce::var>& sent, const juce::String& action)
    {
        for (const auto& e : sent)
            if (actionOf (e) == action)
                return &e;
        return nullptr;
    }

    juce::AudioBuffer<float> ramp;
    int blockSize = 512;
};

//==============================================================================
// The loop region.

// The loop's samples follow the tempo: 10-20 s at a 44.1 kHz session arm 441,000 / 882,000 at ratio 1
// and 220,500 / 441,000 at ratio 2; LOOP_TRIGGERED comes before the tick's PLAYBACK_UPDATE, both at 10.
struct LoopSamplesCase
{
    double bpm;
    int64_t start, end;
};
class EngineLoopSamples : public EngineLoops, public testing::WithParamInterface<LoopSamplesCase>
{
};

TEST_P (EngineLoopSamples, FollowTheTempoAndTheTickReportsTheStart)
{
    const auto c = GetParam();
    {
        setUpRampSong (512, 44100.0, 120.0);
        engine.setBpm (c.bpm);
        engine.setLoopRegion (10.0, 20.0, true);
        playFrom (19.9);

        auto& loop = engine.getLoopRegion();
        for (int i = 0; i < 200 && ! loop.loopFired.load(); ++i)
            render (1);
        ASSERT_TRUE (loop.loopFired.load());
        EXPECT_EQ (loop.lastLoopStart.load(), c.start);
        EXPECT_EQ (loop.lastLoopAt.load(), c.end);

        const auto sent = tick();
        const auto actions = actionsOf (sent);
        ASSERT_GE (actions.size(), 2u);
        EXPECT_EQ (actions[0], "LOOP_TRIGGERED");
        EXPECT_EQ (actions[1], "PLAYBACK_UPDATE");
        EXPECT_EQ ((double) firstOf (sent, "LOOP_TRIGGERED")->getProperty ("newPosition", -1.0), 10.0);
        EXPECT_EQ ((double) firstOf (sent, "PLAYBACK_UPDATE")->getProperty ("time", -1.0), 10.0);
        EXPECT_FALSE (engine.getLoopRegion().loopFired.load());
    }
}
INSTANTIATE_TEST_SUITE_P (Ratios, EngineLoopSamples, testing::Values (LoopSamplesCase { 120.0, 441000, 882000 }, LoopSamplesCase { 240.0, 220500, 441000 }));

// The ramp wraps on the exact sample: inside a block (split) and on a block's end (late).
struct WrapCase
{
    int block;
    double start, end; // seconds at 48 kHz
};
class EngineLoopWrap : public EngineLoops, public testing::WithParamInterface<WrapCase>
{
};

TEST_P (EngineLoopWrap, RampWrapsOnTheExactLoopEndSample)
{
    const auto c = GetParam();
    {
        setUpRampSong (c.block);
        engine.setLoopRegion (c.start, c.end, true);
        playFrom (0.0);
        const auto end = (int64_t) (c.end * rate), start = (int64_t) (c.start * rate);
        renderTo (end + 4000);

        // The first output sample is song sample 0.
        EXPECT_NEAR (music()[1000], rampValue (1000), 2.0e-7f);
        const auto at = findCut();
        EXPECT_EQ (at, end);
        expectCut (at, end - 1, start);

        // Every pass wraps again; switched off, the song runs on past the end.
        const auto secondPass = at + (end - start);
        renderTo (secondPass + 4000);
        EXPECT_EQ (findCut (at + 1), secondPass);
        engine.setLoopRegion (c.start, c.end, false);
        renderTo (secondPass + (end - start) + 4000);
        EXPECT_EQ (findCut (secondPass + 1), -1) << "no wrap once the loop is off";
    }
}
// Inside a block (split), and on a block's end (512 x 375: late).
INSTANTIATE_TEST_SUITE_P (Blocks, EngineLoopWrap,
                          testing::Values (WrapCase { 441, 1.0, 2.0 }, WrapCase { 512, 1.0, 2.0 }, WrapCase { 441, 0.5, 4.0 },
                                           WrapCase { 512, 0.5, 4.0 }));

// A loop switched on while the song is already past its end wraps at the next block: the output
// goes on from the loop's start at that block's first sample, the tick reports it, and the loop
// goes on wrapping at its end.
class EngineLateLoop : public EngineLoops, public testing::WithParamInterface<int>
{
};

TEST_P (EngineLateLoop, WrapsToItsStartAtTheNextBlock)
{
    setUpRampSong (GetParam());
    playFrom (0.0);
    renderTo ((int64_t) (3.0 * rate));
    engine.timerCallback();
    const auto activatedAt = captured();
    engine.setLoopRegion (1.0, 2.0, true);
    renderTo (activatedAt + 4000);

    const auto start = (int64_t) (1.0 * rate), end = (int64_t) (2.0 * rate);
    EXPECT_EQ (findCut (activatedAt - 2000), activatedAt);
    expectCut (activatedAt, activatedAt - 1, start);
    EXPECT_EQ (engine.getLoopRegion().lastLoopAt.load(), activatedAt) << "where the song was when it wrapped";
    const auto sent = tick();
    renderTo (activatedAt + (int64_t) (1.5 * rate));
    const auto* fired = firstOf (sent, "LOOP_TRIGGERED");
    ASSERT_NE (fired, nullptr);
    EXPECT_EQ ((double) fired->getProperty ("newPosition", -1.0), 1.0);

    // The next pass wraps on the loop's end sample.
    const auto nextWrap = activatedAt + (end - start);
    EXPECT_EQ (findCut (activatedAt + 1), nextWrap);
    expectCut (nextWrap, end - 1, start);
}
INSTANTIATE_TEST_SUITE_P (Blocks, EngineLateLoop, testing::Values (441, 512));

//==============================================================================
// Boundary seeks.

// The block-accurate seek fires in the first tick whose song time reaches the trigger, carried out
// as a loop seek; never with trigger 0, never while paused.
struct BlockSeekCase
{
    double trigger;
    bool pauseAcross; // paused across the trigger, then resumed
    bool fires;
};
class EngineBlockSeek : public EngineLoops, public testing::WithParamInterface<BlockSeekCase>
{
};

TEST_P (EngineBlockSeek, FiresInTheFirstTickPastItsTrigger)
{
    const auto c = GetParam();
    {
        setUpRampSong (441);
        engine.setBoundarySeek (c.trigger, 3.0, true);
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ (firstOf (tick(), "BOUNDARY_SEEK_TRIGGERED"), nullptr) << "stopped";

        playFrom (c.pauseAcross ? 1.5 : 0.0);
        if (c.pauseAcross)
        {
            render (2);
            engine.pause();
            for (int i = 0; i < 5; ++i)
            {
                render (2);
                EXPECT_EQ (firstOf (tick(), "BOUNDARY_SEEK_TRIGGERED"), nullptr) << "paused";
            }
            engine.resume();
        }

        // Two blocks of 441 (18 ms) between ticks; the song time the tick sees is the chain's.
        int firedTicks = 0;
        double songTimeAtFire = -1.0, timeAfterFire = -1.0;
        for (int i = 0; i < 100; ++i)
        {
            render (2);
            const auto snapshot = engine.getTransportSnapshot();
            const auto before = (double) snapshot.positionSamples / rate;
            const auto sent = tick();
            if (firedTicks == 1 && timeAfterFire < 0.0)
                timeAfterFire = (double) firstOf (sent, "PLAYBACK_UPDATE")->getProperty ("time", -1.0);
            if (const auto* fired = firstOf (sent, "BOUNDARY_SEEK_TRIGGERED"))
            {
                ++firedTicks;
                songTimeAtFire = before;
                EXPECT_EQ ((double) fired->getProperty ("newPosition", -1.0), 3.0);
                EXPECT_EQ ((double) firstOf (sent, "PLAYBACK_UPDATE")->getProperty ("time", -1.0), 3.0);
            }
            else if (firedTicks == 0 && c.trigger > 0.0)
            {
                EXPECT_LT (before, c.trigger) << "a tick past the trigger did not fire";
            }
        }
        EXPECT_EQ (firedTicks, c.fires ? 1 : 0);
        if (! c.fires)
            return;
        EXPECT_GE (songTimeAtFire, c.trigger);
        // The song goes on from the target.
        EXPECT_NEAR (timeAfterFire, 3.0 + 2 * 441 / rate, 0.02);
    }
}
INSTANTIATE_TEST_SUITE_P (Triggers, EngineBlockSeek,
                          testing::Values (BlockSeekCase { 1.0, false, true }, BlockSeekCase { 0.0, false, false },
                                           BlockSeekCase { 1.0, true, true }));

// The sample-accurate seek cuts at its sample; one whose trigger is behind fires at the next block
// and still reports; trigger 0 never fires.
struct SampleSeekCase
{
    int block;
    double trigger, armedAt;
    int64_t expectedCut; // output index; -1: never; -2: the first sample of the block after the arming
};
class EngineSampleSeek : public EngineLoops, public testing::WithParamInterface<SampleSeekCase>
{
};

TEST_P (EngineSampleSeek, CutsAtItsSample)
{
    const auto c = GetParam();
    {
        setUpRampSong (c.block);
        playFrom (0.0);
        if (c.armedAt > 0.0)
            renderTo ((int64_t) (c.armedAt * rate));
        const auto armedAt = captured();
        engine.setBoundarySeekSA (c.trigger, 5.0, true);
        renderTo (armedAt + 60000);

        const auto at = findCut();
        const auto sent = tick();
        if (c.expectedCut == -1)
        {
            EXPECT_EQ (at, -1);
            EXPECT_EQ (firstOf (sent, "BOUNDARY_SEEK_TRIGGERED"), nullptr);
            return;
        }
        const auto expected = c.expectedCut >= 0 ? c.expectedCut : armedAt;
        EXPECT_EQ (at, expected);
        expectCut (at, at - 1, (int64_t) (5.0 * rate));
        const auto* fired = firstOf (sent, "BOUNDARY_SEEK_TRIGGERED");
        ASSERT_NE (fired, nullptr);
        EXPECT_EQ ((double) fired->getProperty ("newPosition", -1.0), 5.0);
        // One-shot: nothing fires again.
        renderTo (captured() + 60000);
        EXPECT_EQ (findCut (at + 1), -1);
        EXPECT_EQ (firstOf (tick(), "BOUNDARY_SEEK_TRIGGERED"), nullptr);
    }
}
INSTANTIATE_TEST_SUITE_P (Triggers, EngineSampleSeek,
                          testing::Values (SampleSeekCase { 441, 1.0, 0.0, 48000 }, SampleSeekCase { 512, 1.0, 0.0, 48000 },
                                           SampleSeekCase { 512, 1.0, 1.5, -2 }, SampleSeekCase { 441, 0.0, 0.0, -1 }));

// A jump armed again after the previous one fired, before the tick has seen that: the tick reports
// the first, and the second stays armed (flag, keep-state mark) until it fires in its turn.
TEST_F (EngineLoops, AJumpArmedAgainAfterOneFiredStaysArmedUntilItFires)
{
    setUpRampSong (512);
    playFrom (0.0);
    engine.setBoundarySeekSA (1.0, 3.0, true);
    renderTo ((int64_t) (1.0 * rate) + 1024);
    ASSERT_TRUE (engine.getLoopRegion().jumpFired.load());
    engine.setBoundarySeekSA (2.0, 5.0, true); // behind the song, which now plays from 3 s

    const auto keepsState = [this]
    {
        for (const auto& [name, bus] : engine.getGroupBuses())
            if (! bus->stretch->keepStateOnSeek.load())
                return false;
        return true;
    };
    const auto* first = firstOf (tick(), "BOUNDARY_SEEK_TRIGGERED");
    ASSERT_NE (first, nullptr);
    EXPECT_EQ ((double) first->getProperty ("newPosition", -1.0), 3.0);
    EXPECT_TRUE (engine.getLoopRegion().isJumpArmed());
    EXPECT_TRUE (keepsState()) << "the second jump keeps the stretchers' state too";
    EXPECT_EQ (engine.getMetronome().jumpBoundary.load(), 2.0);

    const auto armedAt = captured();
    render (1);
    EXPECT_EQ (findCut (armedAt - 100), armedAt) << "late: at the next block";
    const auto* second = firstOf (tick(), "BOUNDARY_SEEK_TRIGGERED");
    ASSERT_NE (second, nullptr);
    EXPECT_EQ ((double) second->getProperty ("newPosition", -1.0), 5.0);
    EXPECT_FALSE (keepsState()) << "nothing armed: the next reposition resets";
    EXPECT_EQ (engine.getMetronome().jumpBoundary.load(), -1.0);
}

//==============================================================================
// Loop seeks.

// Two loop seeks asked for while one is applied leave one more iteration, with the later target.
TEST_F (EngineLoops, LoopSeeksDuringAnApplyLeaveOneMoreIterationWithTheLatestTarget)
{
    setUpRampSong (512);
    std::vector<int> iterations;
    engine.setLoopSeekApplyHookForTesting ([&] (int iteration)
    {
        iterations.push_back (iteration);
        if (iteration == 0)
        {
            engine.loopSeek (5.0);
            engine.loopSeek (7.0);
        }
    });
    engine.loopSeek (2.0);
    engine.setLoopSeekApplyHookForTesting (nullptr);

    EXPECT_EQ (iterations, (std::vector<int> { 0, 1 }));
    EXPECT_EQ (countDebugLines ("[LOOP-AUDIT] loopSeek QUEUED"), 2);
    EXPECT_TRUE (findDebugLine ("[LOOP-AUDIT] loopSeek APPLY iter=1 | src=7.0000").has_value());
    EXPECT_NEAR (engine.getMasterTransport().getCurrentPosition(), 7.0, 1.0 / rate);

    // The next request applies at once again.
    engine.loopSeek (3.0);
    EXPECT_NEAR (engine.getMasterTransport().getCurrentPosition(), 3.0, 1.0 / rate);
}
//==============================================================================
// Under live stretch a wrap, a sample-accurate jump and a loop seek keep the stretchers' state: the
// stems go on without a silent gap. A seek resets them: silence for about their latency.
enum class Move
{
    loopWrap,
    sampleAccurateJump,
    loopSeek,
    seek
};
std::string moveName (const testing::TestParamInfo<Move>& info)
{
    static const char* const names[] = { "LoopWrap", "SampleAccurateJump", "LoopSeek", "Seek" };
    return names[(int) info.param];
}
class EngineLiveMoves : public EngineLoops, public testing::WithParamInterface<Move>
{
};

TEST_P (EngineLiveMoves, StemsGoOnWithoutAGapUnlessTheMoveResets)
{
    const auto move = GetParam();
    defineCountDevice();
    openDevice (countDevice, 441, 8);
    blockSize = 441;
    engine.setMetronomeVolume (-100.0f);
    engine.getRouter().setRouting ("drums", musicChannel, false);
    const auto tone = makeKeyTone (2, (int) (10.0 * rate), rate, 440.0, 0.5f);
    addStem ("d", "drums", tone);
    engine.activateSongForTesting ("song-1", rate, 120.0, 10.0);
    engine.setBpm (132.0);
    ASSERT_FALSE (engine.isStretchBypassed());
    const auto latency = engine.getLiveStretchLatencySamples();

    if (move == Move::loopWrap)
        engine.setLoopRegion (1.0, 2.0, true);
    if (move == Move::sampleAccurateJump)
        engine.setBoundarySeekSA (1.5, 0.5, true);
    devices().clearCaptured (deviceName);
    playFrom (0.0);
    renderTo ((int64_t) (1.0 * rate));
    if (move == Move::loopSeek)
        engine.loopSeek (0.3);
    if (move == Move::seek)
        engine.seek (0.3);
    renderTo ((int64_t) (3.0 * rate));
    if (move == Move::loopWrap)
        EXPECT_EQ (engine.getLoopRegion().lastLoopAt.load(), (int64_t) (2.0 / 1.1 * rate));
    if (move == Move::sampleAccurateJump)
        EXPECT_EQ (engine.getLoopRegion().lastJumpAt.load(), (int64_t) (1.5 / 1.1 * rate));

    // Silent 256-sample windows after the stretchers' first output.
    const auto y = music();
    int silent = 0;
    for (auto from = (size_t) (latency + 4096); from + 256 < y.size(); from += 256)
    {
        float peak = 0.0f;
        for (size_t i = from; i < from + 256; ++i)
            peak = std::max (peak, std::abs (y[i]));
        silent += peak < 0.01f ? 1 : 0;
    }
    if (move == Move::seek)
        EXPECT_GE (silent, latency / 256 / 2) << "a seek starts the stretchers afresh";
    else
        EXPECT_EQ (silent, 0);
}
INSTANTIATE_TEST_SUITE_P (Moves, EngineLiveMoves,
                          testing::Values (Move::loopWrap, Move::sampleAccurateJump, Move::loopSeek, Move::seek),
                          moveName);
} // namespace quorvelle::test
