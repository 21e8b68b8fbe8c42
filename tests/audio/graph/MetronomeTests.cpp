#include "tests/support/AllocationCounter.h"
#include "SpokenAndClickFixtures.h"

#include "audio/graph/AudioThreadLog.h"
#include "audio/graph/MetronomeAudioSource.h"

#include <gtest/gtest.h>

#include <cmath>
#include <thread>

using namespace quorvelle;
using namespace quorvelle::test;

namespace
{
constexpr float highAmplitude = 0.9f, lowAmplitude = 0.5f;
constexpr int clickLength = 40;
// Levels chosen so that the first sample of a click tells its kind.
constexpr float levelAcc = 1.0f, levelQ = 0.8f, level8 = 0.6f, level16 = 0.4f;

enum Kind { ACC, Q, E8, S16, unknown };

Kind kindOf (float firstSample)
{
    const struct { float value; Kind kind; } table[] = {
        { highAmplitude * levelAcc, ACC }, { lowAmplitude * levelQ, Q }, { lowAmplitude * level8, E8 }, { lowAmplitude * level16, S16 }
    };
    for (const auto& entry : table)
        if (std::abs (firstSample - entry.value) < 0.002f)
            return entry.kind;
    return unknown;
}

// A metronome with a click bank loaded from generated files at the device rate, prepared, playing.
struct Metronome
{
    AssetFolders assets;
    juce::AudioFormatManager formats;
    MetronomeAudioSource source;
    std::atomic<bool> playing { true }, counting { false };
    juce::StringArray lines;

    explicit Metronome (double rate, bool subdivisions = true)
    {
        formats.registerBasicFormats();
        AssetFolders::writeTone (assets.clicks, "clic_high.wav", rate, clickLength, highAmplitude);
        AssetFolders::writeTone (assets.clicks, "clic_low.wav", rate, clickLength, lowAmplitude);
        source.transportPlayingFlag = &playing;
        source.countInRunningFlag = &counting;
        source.logCallback = [this] (const juce::String& line) { lines.add (line); };
        source.prepareToPlay (512, rate);
        source.loadClickSamples (assets.clicks, formats, assets.root);
        source.accentLevel = levelAcc;
        source.quarterLevel = levelQ;
        source.eighthLevel = subdivisions ? level8 : 0.0f;
        source.sixteenthLevel = subdivisions ? level16 : 0.0f;
    }

    // Renders `total` samples in blocks of `block` into one capture, each block at its own start
    // sample of the capture.
    juce::AudioBuffer<float> render (int total, int block, int channels = 2)
    {
        juce::AudioBuffer<float> out (channels, total);
        out.clear();
        for (int start = 0; start < total; start += block)
            source.getNextAudioBlock (juce::AudioSourceChannelInfo (&out, start, juce::jmin (block, total - start)));
        return out;
    }

    int countLines (const juce::String& prefix)
    {
        AudioThreadLog::shared().drain();
        int count = 0;
        for (const auto& line : lines)
            count += line.startsWith (prefix) ? 1 : 0;
        return count;
    }
};

struct GridCase
{
    double rate;
    int block;
};

std::string gridName (const ::testing::TestParamInfo<GridCase>& info)
{
    return std::to_string ((int) info.param.rate) + "_" + std::to_string (info.param.block);
}

const GridCase gridCases[] = { { 44100.0, 441 }, { 44100.0, 512 }, { 48000.0, 441 }, { 48000.0, 512 } };

// The grids place a click at time t in the block whose times [s0, s1) hold it, at
// trunc((t - s0) / (s1 - s0) x n). Blocks start at firstBlock + j x block (positions in samples);
// the result is the click's position.
int64_t expectedBeatSample (double t, double rate, double ratio, int block, int64_t firstBlock = 0)
{
    for (int64_t start = firstBlock;; start += block)
    {
        const double s0 = (double) start / rate * ratio, s1 = (double) (start + block) / rate * ratio;
        if (t >= s0 && t < s1)
            return start + (int64_t) std::trunc ((t - s0) / (s1 - s0) * block);
    }
}
} // namespace

class MetronomeGrid : public ::testing::TestWithParam<GridCase>
{
};

TEST_P (MetronomeGrid, ConstantTempoSoundsEveryTickOfItsKindWithinOneSampleOfItsTime)
{
    const auto [rate, block] = GetParam();
    Metronome m (rate);
    m.source.setBpm (120.0); // no beat map: constant grid, 4/4, tick = 0.125 s

    const auto out = m.render ((int) (3.0 * rate) - 64, block);
    const auto onsets = findOnsets (out);
    ASSERT_EQ (onsets.size(), 24u); // ticks 0 .. 23

    for (size_t k = 0; k < onsets.size(); ++k)
    {
        const auto expected = k * 0.125 * rate;
        EXPECT_NEAR (onsets[k].sample, expected, 1.0) << "tick " << k;
        const Kind kind = k % 16 == 0 ? ACC : (k % 4 == 0 ? Q : (k % 4 == 2 ? E8 : S16));
        EXPECT_EQ (kindOf (onsets[k].value), kind) << "tick " << k;
    }
    // The same clicks on channel 1.
    const auto right = findOnsets (out, 1);
    ASSERT_EQ (right.size(), onsets.size());
    EXPECT_EQ (right[5].sample, onsets[5].sample);
}

TEST_P (MetronomeGrid, BeatMapWithTempoRampPlacesEachBeatByTheBlockFormulaAndDemotesSuppressedDownbeats)
{
    const auto [rate, block] = GetParam();
    Metronome m (rate, false);

    // 3/4, beats accelerating from 0.6 s to 0.35 s apart, played at 90 of a recorded 120 bpm.
    std::vector<double> times;
    std::vector<int32_t> numbers;
    double t = 0.2, gap = 0.6;
    for (int i = 0; i < 14; ++i)
    {
        times.push_back (t);
        numbers.push_back (i % 3 + 1);
        t += gap;
        gap = std::max (0.35, gap - 0.025);
    }
    m.source.setTimeSignature (3, 4);
    m.source.setOriginalBpm (120.0);
    m.source.setBpm (90.0);
    m.source.setBeatmap (times, numbers);
    m.source.setAccentSuppressRanges ({ { times[6], times[6] + 0.5 } });
    m.source.setNextReadPosition (0);

    const double ratio = 0.75;
    const auto out = m.render ((int) ((times.back() / ratio + 0.3) * rate), block);
    const auto onsets = findOnsets (out);
    ASSERT_EQ (onsets.size(), times.size());
    for (size_t i = 0; i < times.size(); ++i)
    {
        EXPECT_EQ (onsets[i].sample, expectedBeatSample (times[i], rate, ratio, block)) << "beat " << i;
        const bool accented = numbers[i] == 1 && i != 6;
        EXPECT_EQ (kindOf (onsets[i].value), accented ? ACC : Q) << "beat " << i;
    }
}

TEST_P (MetronomeGrid, FixedClockPlaysOneBarUpToItsLimitAndFollowsElapsedCountsTheObserverRewrites)
{
    const auto [rate, block] = GetParam();
    Metronome m (rate, false);
    const int64_t bar = (int64_t) (2.0 * rate); // 4/4 at 120 bpm
    m.source.setFixedClock (true, 120.0, 4, 4, bar, false);

    // After 3 s the observer starts a new iteration 1000 samples from now (a negative elapsed count).
    int64_t rendered = 0, rewriteAt = -1;
    m.source.blockObserver = [&] (int n)
    {
        rendered += n;
        if (rewriteAt < 0 && rendered >= (int64_t) (3.0 * rate))
        {
            rewriteAt = rendered;
            m.source.fixedElapsedSamples.store (-1000);
            m.source.fixedLimitSamples = bar;
        }
    };

    const auto out = m.render ((int) (6.5 * rate), block);
    const auto onsets = findOnsets (out);
    ASSERT_GT (rewriteAt, 0);
    ASSERT_EQ (onsets.size(), 8u); // 4 beats in each iteration (no subdivision levels)
    for (size_t k = 0; k < 4; ++k)
    {
        const auto tickTime = (double) k * 0.5;
        // The fixed clock's grid points fall on their exact samples, whatever the block sizes.
        const auto gridSample = (int64_t) (tickTime * rate);
        EXPECT_EQ (onsets[k].sample, gridSample) << "first bar, beat " << k;
        EXPECT_EQ (onsets[k + 4].sample, rewriteAt + 1000 + gridSample) << "second bar, beat " << k;
        EXPECT_EQ (kindOf (onsets[k].value), k == 0 ? ACC : Q);
        EXPECT_EQ (kindOf (onsets[k + 4].value), k == 0 ? ACC : Q);
    }
}

INSTANTIATE_TEST_SUITE_P (RatesAndBlocks, MetronomeGrid, ::testing::ValuesIn (gridCases), gridName);

TEST (Metronome, LoopEndTruncatesClicksWithin10MsBeforeItWithOneBoundaryLine)
{
    for (const auto& [rate, block] : gridCases)
    {
        SCOPED_TRACE (std::to_string ((int) rate) + "/" + std::to_string (block));
        Metronome m (rate, false);
        m.source.setBeatmap ({ 19.5, 19.985, 19.995, 20.000, 20.5 }, { 1, 2, 3, 4, 1 });
        m.source.loopEndBoundary = 20.0;
        m.source.seekToTime (19.4);
        const int64_t start = m.source.getNextReadPosition();

        // Render until the block that holds 20.0 s, then wrap back to 19.4 s like the song chain does.
        juce::AudioBuffer<float> out (2, (int) (1.0 * rate));
        out.clear();
        int written = 0;
        while ((double) (start + written) / rate <= 20.0)
        {
            m.source.getNextAudioBlock (juce::AudioSourceChannelInfo (&out, written, block));
            written += block;
        }
        m.source.pendingSeekSeconds = 19.4;
        m.source.pendingSeekIsJump = true;
        m.source.getNextAudioBlock (juce::AudioSourceChannelInfo (&out, written, block));

        const auto onsets = findOnsets (out);
        ASSERT_EQ (onsets.size(), 2u);
        EXPECT_EQ (onsets[0].sample, expectedBeatSample (19.5, rate, 1.0, block, start) - start);
        EXPECT_EQ (onsets[1].sample, expectedBeatSample (19.985, rate, 1.0, block, start) - start);
        EXPECT_EQ (m.countLines ("[METRO-BOUNDARY] truncate block @ 20.0000s"), 1);
    }
}

TEST (Metronome, JumpLandingOnADownbeatRightAfterOneSilencesItOnlyWithin80Ms)
{
    const struct { double afterDownbeat; bool isJump; bool silent; } cases[] = {
        { 0.05, true, true }, { 0.10, true, false }, { 0.05, false, false }
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (std::to_string (c.afterDownbeat) + (c.isJump ? " jump" : " plain reposition"));
        const double rate = 48000.0;
        const int block = 512;
        Metronome m (rate, false);
        std::vector<double> times;
        std::vector<int32_t> numbers;
        for (int i = 0; i < 16; ++i)
        {
            times.push_back (i * 0.5);
            numbers.push_back (i % 4 + 1);
        }
        m.source.setBeatmap (times, numbers);
        m.source.seekToTime (1.9);

        juce::AudioBuffer<float> before (2, (int) rate);
        before.clear();
        int written = 0;
        while ((double) m.source.getNextReadPosition() / rate < 2.0 + c.afterDownbeat)
        {
            m.source.getNextAudioBlock (juce::AudioSourceChannelInfo (&before, written, block));
            written += block;
        }
        ASSERT_EQ (findOnsets (before).size(), 1u); // the downbeat at 2.0 s sounded

        m.source.pendingSeekSeconds = 6.0;
        m.source.pendingSeekIsJump = c.isJump;
        const auto after = m.render (block * 4, block);
        const auto onsets = findOnsets (after);
        if (c.silent)
        {
            EXPECT_TRUE (onsets.empty());
            EXPECT_EQ (m.countLines ("[CLICK-FIRE-ALL] suppressed (downbeat-to-downbeat boundary jump) beat=#12 bt=6.0000"), 1);
        }
        else
        {
            ASSERT_EQ (onsets.size(), 1u);
            EXPECT_EQ (onsets[0].sample, 0);
            EXPECT_EQ (kindOf (onsets[0].value), ACC);
        }
    }
}

TEST (Metronome, StartOffsetSilencesTheBlockBeforeItAndStartsTheTimelineThere)
{
    const double rate = 48000.0;
    Metronome m (rate, false);
    m.source.setBpm (120.0);
    m.playing = false;
    auto silent = m.render (2048, 512);
    EXPECT_TRUE (findOnsets (silent).empty());
    EXPECT_EQ (m.source.getNextReadPosition(), 0);

    m.playing = true;
    m.source.setStartOffset (300);
    const auto out = m.render ((int) (2.1 * rate), 512);
    const auto onsets = findOnsets (out);
    ASSERT_EQ (onsets.size(), 5u);
    for (size_t k = 0; k < onsets.size(); ++k)
        EXPECT_NEAR (onsets[k].sample, 300 + (int) k * 24000, 1); // the constant grid's accumulated phase
    EXPECT_EQ (m.source.getNextReadPosition(), out.getNumSamples() - 300);
}

TEST (Metronome, LatencyFlagWithoutOffsetChangesNothingAndAnOffsetDelaysEveryGrid)
{
    const double rate = 48000.0;
    for (const bool beatmap : { false, true })
    {
        SCOPED_TRACE (beatmap ? "beat map" : "constant tempo");
        auto run = [&] (bool flag, int offset)
        {
            Metronome m (rate, false);
            if (beatmap)
                m.source.setBeatmap ({ 0.25, 0.75, 1.25 }, { 1, 2, 3 });
            m.source.latencyCompensation = flag;
            m.source.latencyOffsetSamples = offset;
            m.source.latencyOffsetRate = 24000.0; // session-rate samples: 480 of them are 960 device samples
            std::vector<int> samples;
            for (const auto& onset : findOnsets (m.render ((int) (1.4 * rate), 512)))
                samples.push_back (onset.sample);
            return samples;
        };
        const auto plain = run (false, 0);
        ASSERT_EQ (plain.size(), 3u);
        EXPECT_EQ (run (true, 0), plain);
        const auto delayed = run (true, 480);
        ASSERT_EQ (delayed.size(), plain.size());
        for (size_t i = 0; i < plain.size(); ++i)
            EXPECT_NEAR (delayed[i], plain[i] + 960, 1);
    }
}

TEST (Metronome, GatedBlocksAreSilentAndFrozenAndClicksReachOnlyTheFirstTwoChannels)
{
    const double rate = 48000.0;
    Metronome m (rate);
    m.playing = false;
    EXPECT_TRUE (findOnsets (m.render (480, 480)).empty());
    EXPECT_EQ (m.source.getNextReadPosition(), 0);
    m.playing = true;
    m.counting = true;
    EXPECT_TRUE (findOnsets (m.render (480, 480)).empty());
    EXPECT_EQ (m.source.getNextReadPosition(), 0);
    m.counting = false;

    const auto four = m.render (480, 480, 4);
    EXPECT_EQ (findOnsets (four, 0).size(), 1u);
    EXPECT_EQ (findOnsets (four, 1).size(), 1u);
    EXPECT_EQ (four.getMagnitude (2, 0, 480), 0.0f);
    EXPECT_EQ (four.getMagnitude (3, 0, 480), 0.0f);

    m.source.setNextReadPosition (0);
    const auto mono = m.render (480, 480, 1);
    EXPECT_EQ (findOnsets (mono, 0).size(), 1u);
}

TEST (Metronome, HandOffSwapAppliesSongBTimingOnTheAudioThreadWithoutAllocatingOrFreeing)
{
    const double rate = 48000.0;
    Metronome m (rate, false);
    m.source.setBeatmap ({ 0.1, 0.6, 1.1 }, { 1, 2, 3 });
    m.source.setNextReadPosition (0);
    m.render (4096, 512); // warm up

    SongTimingUpdate songB;
    songB.originalBpm = 100.0;
    songB.bpm = 100.0;
    songB.numerator = 3;
    songB.denominator = 4;
    for (int i = 0; i < 12; ++i)
    {
        songB.beatmap.beatTimes.push_back (0.3 + i * 0.6);
        songB.beatmap.beatNumbers.push_back (i % 3 + 1);
    }
    songB.timeSignatureMap = { { 0.0, 3, 4 }, { 60.0, 4, 4 } };
    m.source.stageSongTiming (std::move (songB));

    juce::AudioBuffer<float> out (2, 512 * 200);
    out.clear();
    long long counted = -1;
    std::thread audio ([&]
    {
        AllocationCounter counter;
        m.source.applyStagedSongTiming();
        m.source.seekToTime (0.0);
        for (int b = 0; b < 200; ++b)
            m.source.getNextAudioBlock (juce::AudioSourceChannelInfo (&out, b * 512, 512));
        counted = counter.allocations() + counter.frees();
    });
    audio.join();
    EXPECT_EQ (counted, 0);
    EXPECT_TRUE (m.source.collectSongTiming()); // song A's vectors are freed here

    const auto onsets = findOnsets (out);
    ASSERT_GE (onsets.size(), 4u);
    for (size_t i = 0; i < 4; ++i)
    {
        EXPECT_EQ (onsets[i].sample, expectedBeatSample (0.3 + (double) i * 0.6, rate, 1.0, 512));
        EXPECT_EQ (kindOf (onsets[i].value), i % 3 == 0 ? ACC : Q);
    }
    EXPECT_EQ (m.countLines ("[CLICK-CPP] setBeatmap: 12 entries | useBeatmap=YES | ts=3/4"), 1);
}

TEST (Metronome, HandOffSwapCanKeepTheTimeSignatureMapInForce)
{
    // A map of 2/4 throughout: beat 3 of a bar numbered in fours is a downbeat under it, not under
    // the fixed 4/4. A swap that keeps the map leaves it in force; one that replaces it drops it.
    const double rate = 48000.0;
    for (const bool keep : { true, false })
    {
        Metronome m (rate, false);
        m.source.setTimeSignatureMap ({ { 0.0, 2, 4 }, { 100.0, 2, 4 } });
        SongTimingUpdate songB;
        songB.originalBpm = 120.0;
        songB.beatmap.beatTimes = { 0.1, 0.6, 1.1, 1.6 };
        songB.beatmap.beatNumbers = { 1, 2, 3, 4 };
        songB.replaceTimeSignatureMap = ! keep;
        m.source.stageSongTiming (std::move (songB));
        ASSERT_TRUE (m.source.applyStagedSongTiming());
        m.source.setNextReadPosition (0);

        const auto onsets = findOnsets (m.render (512 * 200, 512));
        ASSERT_EQ (onsets.size(), 4u) << "keep=" << keep;
        EXPECT_EQ (kindOf (onsets[0].value), ACC);
        EXPECT_EQ (kindOf (onsets[2].value), keep ? ACC : Q) << "keep=" << keep;
        EXPECT_EQ (kindOf (onsets[3].value), Q);
    }
}

TEST (Metronome, SteadyRenderingAllocatesAndFreesNothing)
{
    const double rate = 44100.0;
    Metronome m (rate);
    m.source.setBeatmap ({ 0.0, 0.05, 0.1, 0.5, 1.0, 1.5, 2.0, 2.5, 3.0 }, { 1, 2, 3, 4, 1, 2, 3, 4, 1 });
    m.source.loopEndBoundary = 2.0;
    m.source.setNextReadPosition (0);
    juce::AudioBuffer<float> out (2, 441);
    long long counted = -1;
    std::thread audio ([&]
    {
        AllocationCounter counter;
        for (int b = 0; b < 400; ++b)
        {
            if (b == 250)
            {
                m.source.pendingSeekSeconds = 0.5;
                m.source.pendingSeekIsJump = true;
            }
            m.source.getNextAudioBlock (juce::AudioSourceChannelInfo (&out, 0, 441));
        }
        m.source.setFixedClock (true, 140.0, 7, 8, 0, true);
        for (int b = 0; b < 200; ++b)
            m.source.getNextAudioBlock (juce::AudioSourceChannelInfo (&out, 0, 441));
        counted = counter.allocations() + counter.frees();
    });
    audio.join();
    EXPECT_EQ (counted, 0);
    EXPECT_GE (m.countLines ("[METRO-BOUNDARY]"), 1); // lines of the audio thread came through the ring
}
