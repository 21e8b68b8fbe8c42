// Live tempo and pitch: SET_BPM and SET_PITCH on the buses' stretchers, the rule that switches live
// stretch on and off, the song time and armed loop across a tempo change, and what the stretched
// stems sound like (click-train spacing, transposed frequency) on rendered samples.
#include "EngineTransportFixture.h"

#include <cmath>
#include <limits>

namespace quorvelle::test
{
namespace
{
// Frequency of a steady tone from its rising zero crossings (interpolated) in [from, to).
double frequencyOf (const std::vector<float>& y, int64_t from, int64_t to, double sampleRate)
{
    double first = -1.0, last = -1.0;
    int crossings = 0;
    for (auto i = std::max<int64_t> (from, 1); i < std::min<int64_t> (to, (int64_t) y.size()); ++i)
    {
        const auto a = y[(size_t) i - 1], b = y[(size_t) i];
        if (a < 0.0f && b >= 0.0f)
        {
            const auto at = (double) (i - 1) + (double) a / (double) (a - b);
            if (first < 0.0)
                first = at;
            last = at;
            ++crossings;
        }
    }
    return crossings > 1 ? (crossings - 1) * sampleRate / (last - first) : 0.0;
}

// Output indices where a burst starts: at or above `threshold` after at least `quiet` samples below
// it (the stretcher smears a burst's edges: the threshold sits well above them).
std::vector<int64_t> burstStarts (const std::vector<float>& y, float threshold, int quiet)
{
    std::vector<int64_t> starts;
    int below = quiet;
    for (size_t i = 0; i < y.size(); ++i)
    {
        const auto level = std::abs (y[i]);
        if (level >= threshold && below >= quiet)
            starts.push_back ((int64_t) i);
        below = level < threshold ? below + 1 : 0;
    }
    return starts;
}
} // namespace

class EngineLiveStretch : public EngineTransportTest
{
protected:
    // The count device (8 outputs, 48 kHz) at `block`, the click silenced, each of `buses` on its
    // own output from 2 on, carrying `audio`; the song at 120 bpm, stopped.
    void setUpSong (int block, const juce::AudioBuffer<float>& audio, const juce::StringArray& buses)
    {
        defineCountDevice();
        openDevice (countDevice, block, 8);
        engine.setMetronomeVolume (-100.0f);
        for (int i = 0; i < buses.size(); ++i)
        {
            engine.getRouter().setRouting (buses[i], 2 + i, false);
            addStem ("t-" + buses[i], buses[i], audio);
        }
        activate (120.0, 60.0);
        devices().clearCaptured (deviceName);
        events.clear();
    }

    void playFrom (double songTime) { engine.play (false, false, songTime, {}, false, -1, -1, -1, -1); }

    double tickTime()
    {
        events.clear();
        engine.timerCallback();
        return (double) lastUpdate().getProperty ("time", -1.0);
    }

    float busSemitones (const juce::String& bus) { return engine.getGroupBus (bus)->stretch->semitones.load(); }
};

//==============================================================================
// The rule, the clamps and the refusals, step by step on one engine (each step starts where the
// previous left it).
TEST_F (EngineLiveStretch, TempoAndPitchStepsDecideLiveStretchAndClampToTheStretchersRange)
{
    setUpSong (512, constant (2.0, 0.1f), { "drums", "bass" });
    const auto nan = std::numeric_limits<double>::quiet_NaN();

    struct Step
    {
        const char* what;
        bool tempo; // else pitch
        double value;
        double bpm;         // currentBpm after the step
        float bassSemitones; // the pitched bus after the step ("drums" stays 0)
        bool live;
        const char* logLine; // the one refusal or clamp line, or null
    };
    const Step steps[] = {
        { "ratio 1.1", true, 132.0, 132.0, 0.0f, true, nullptr },
        { "back to the song's tempo", true, 120.0, 120.0, 0.0f, false, nullptr },
        { "+2 semitones", false, 2.0, 120.0, 2.0f, true, nullptr },
        { "-2 semitones", false, -2.0, 120.0, -2.0f, true, nullptr },
        { "neutral again", false, 0.0, 120.0, 0.0f, false, nullptr },
        { "ratio 3 is clamped to 2", true, 360.0, 240.0, 0.0f, true, "clamped to 240" },
        { "NaN tempo is ignored", true, nan, 240.0, 0.0f, true, "setBpm ignored" },
        { "infinite tempo is ignored", true, std::numeric_limits<double>::infinity(), 240.0, 0.0f, true, "setBpm ignored" },
        { "zero tempo does nothing", true, 0.0, 240.0, 0.0f, true, nullptr },
        { "negative tempo does nothing", true, -5.0, 240.0, 0.0f, true, nullptr },
        { "ratio 0.25 is clamped to 0.5", true, 30.0, 60.0, 0.0f, true, "clamped to 60" },
        { "pitch 20 is clamped to 12", false, 20.0, 60.0, 12.0f, true, "clamped to 12" },
        { "pitch -20 is clamped to -12", false, -20.0, 60.0, -12.0f, true, "clamped to -12" },
        { "NaN pitch is ignored", false, nan, 60.0, -12.0f, true, "setPitch ignored" },
        { "all neutral", true, 120.0, 120.0, -12.0f, true, nullptr },
        { "and untransposed", false, 0.0, 120.0, 0.0f, false, nullptr },
    };
    for (const auto& step : steps)
    {
        SCOPED_TRACE (step.what);
        events.clear();
        if (step.tempo)
            engine.setBpm (step.value);
        else
            engine.setPitch ((float) step.value);
        render (1); // the router applies its delay at its next block

        EXPECT_EQ (engine.getCurrentBpm(), step.bpm);
        EXPECT_DOUBLE_EQ (engine.getMetronome().getBpm(), step.bpm) << "the click follows the clamped tempo";
        EXPECT_FLOAT_EQ (engine.getGroupBus ("bass")->stretch->rate.load(), (float) (step.bpm / 120.0));
        EXPECT_FLOAT_EQ (engine.getGroupBus ("drums")->stretch->rate.load(), (float) (step.bpm / 120.0));
        EXPECT_FLOAT_EQ (busSemitones ("bass"), step.bassSemitones);
        EXPECT_EQ (busSemitones ("drums"), 0.0f);
        EXPECT_EQ (engine.isStretchBypassed(), ! step.live);
        for (const auto& [name, bus] : engine.getGroupBuses())
            EXPECT_EQ (bus->stretch->bypass.load(), ! step.live) << name;
        EXPECT_EQ (engine.getRouter().getSongLockedDelay(), step.live ? engine.getLiveStretchLatencySamples() : 0);
        if (step.logLine != nullptr)
            EXPECT_EQ (countDebugLines (step.logLine), 1);
        else
            EXPECT_EQ (countDebugLines ("ignored") + countDebugLines ("clamped"), 0);
        EXPECT_EQ (countDebugLines ("re-armed"), 0) << "nothing armed, nothing re-armed";
    }
    ASSERT_GT (engine.getLiveStretchLatencySamples(), 0);
}

// SET_BPM while playing changes nothing; after PAUSE it applies, the song time stays where it was,
// an armed loop is re-armed in samples of the new tempo, and RESUME continues at the new tempo.
TEST_F (EngineLiveStretch, TempoChangeWhilePausedKeepsSongTimeAndTheArmedLoop)
{
    setUpSong (441, constant (30.0, 0.1f), { "drums" });
    engine.setLoopRegion (3.0, 4.0, true);
    playFrom (2.0);
    render (50);

    engine.setBpm (132.0);
    engine.setPitch (3.0f);
    EXPECT_EQ (engine.getCurrentBpm(), 120.0) << "dropped while playing";
    EXPECT_EQ (busSemitones ("bass"), 0.0f);
    EXPECT_TRUE (engine.isStretchBypassed());

    whileRendering ([&] { engine.pause(); });
    const auto before = tickTime();
    EXPECT_GT (before, 2.4);
    engine.setBpm (132.0);
    EXPECT_EQ (engine.getCurrentBpm(), 132.0);
    EXPECT_FALSE (engine.isStretchBypassed());
    EXPECT_EQ (countDebugLines ("re-armed loop region"), 1);
    EXPECT_NEAR (tickTime(), before, 1.1 / rate) << "the song time survives the tempo change";

    engine.resume();
    auto& loop = engine.getLoopRegion();
    int blocks = 0;
    for (; blocks < 400 && ! loop.loopFired.load(); ++blocks)
        render (1);
    ASSERT_TRUE (loop.loopFired.load());
    // The loop's samples at ratio 1.1 (transport = song time / 1.1), and the time the song took
    // to reach its end: (4 - before) / 1.1 seconds of output.
    EXPECT_EQ (loop.lastLoopStart.load(), (int64_t) (3.0 / 1.1 * rate));
    EXPECT_EQ (loop.lastLoopAt.load(), (int64_t) (4.0 / 1.1 * rate));
    EXPECT_NEAR (blocks * 441 / rate, (4.0 - before) / 1.1, 441 / rate);
    events.clear();
    engine.timerCallback();
    const auto trigger = findAction ("LOOP_TRIGGERED");
    ASSERT_TRUE (trigger.has_value());
    EXPECT_NEAR ((double) events[*trigger].getProperty ("newPosition", -1.0), 3.0, 1.1 / rate);
}

// A click-train stem at ratio 1.1: bursts T / 1.1 apart within one stretcher hop.
TEST_F (EngineLiveStretch, ClickTrainAtRatio1_1HasItsBurstsCloser)
{
    constexpr double period = 0.5;
    juce::AudioBuffer<float> train (2, (int) (12.0 * rate));
    train.clear();
    const auto burst = makeKeyTone (2, 200, rate, 1500.0, 0.6f);
    for (int k = 0; k < 24; ++k)
        for (int c = 0; c < 2; ++c)
            train.copyFrom (c, (int) (k * period * rate), burst, c, 0, burst.getNumSamples());
    setUpSong (512, train, { "drums" });

    engine.setBpm (132.0);
    playFrom (0.0);
    render ((int) (6.0 * rate / 512));

    const auto starts = burstStarts (devices().getCaptured (deviceName, 2), 0.2f, (int) (0.2 * rate));
    ASSERT_GE (starts.size(), 10u);
    const auto hop = 0.03 * rate;
    for (size_t i = 2; i < starts.size(); ++i)
        EXPECT_NEAR ((double) (starts[i] - starts[i - 1]), period / 1.1 * rate, hop) << "burst " << i;
}

// +2 semitones moves 440 Hz to 493.9 Hz on the pitched buses, not on "drums" or "click".
TEST_F (EngineLiveStretch, PitchMovesOnlyThePitchedBuses)
{
    const juce::StringArray buses { "bass", "keys", "vocals", "drums", "click" };
    setUpSong (512, makeKeyTone (2, (int) (6.0 * rate), rate, 440.0, 0.5f), buses);
    engine.setPitch (2.0f);
    playFrom (0.0);
    render ((int) (3.0 * rate / 512));

    const auto shifted = 440.0 * std::pow (2.0, 2.0 / 12.0);
    for (int i = 0; i < buses.size(); ++i)
    {
        const bool pitched = i < 3;
        const auto found = frequencyOf (devices().getCaptured (deviceName, 2 + i), (int64_t) rate, (int64_t) (2.5 * rate), rate);
        EXPECT_NEAR (found, pitched ? shifted : 440.0, 1.0) << buses[i];
    }
}

// The per-track switch: a percussive track keeps its key unless forced; others always follow.
TEST_F (EngineLiveStretch, TransposeOverrideSetsSkipTransposeFromPercussiveAndForce)
{
    setUpSong (512, constant (1.0, 0.1f), {});
    auto& drums = addStem ("perc", "drums", constant (1.0, 0.1f));
    drums.isPercussive = true;
    auto& keys = addStem ("melodic", "keys", constant (1.0, 0.1f));

    struct Case
    {
        const char* track;
        bool force, skip;
    };
    for (const auto& c : { Case { "perc", true, false }, Case { "perc", false, true }, Case { "melodic", true, false },
                           Case { "melodic", false, false } })
    {
        SCOPED_TRACE (juce::String (c.track) + (c.force ? " forced" : ""));
        engine.transposeOverride (c.track, c.force);
        EXPECT_EQ ((juce::String (c.track) == "perc" ? drums : keys).skipTranspose, c.skip);
    }
    events.clear();
    engine.transposeOverride ("unknown", true);
    EXPECT_TRUE (events.empty());
    EXPECT_TRUE (drums.skipTranspose) << "an unknown id touches nothing";
}
} // namespace quorvelle::test
