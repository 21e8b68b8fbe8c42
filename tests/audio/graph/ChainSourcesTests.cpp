#include "GraphTestSources.h"

#include "audio/graph/AudioThreadLog.h"
#include "audio/graph/ChainSources.h"

#include <gtest/gtest.h>

#include <string>

using namespace quorvelle;
using namespace quorvelle::test;

namespace
{
// Renders `total` samples through `source` in blocks of the given sizes (cycled), at a non-zero start
// sample inside a larger buffer, and returns channel 0 of what was rendered.
std::vector<float> renderChannel0 (juce::AudioSource& source, int total, const std::vector<int>& blockSizes)
{
    std::vector<float> out;
    out.reserve ((size_t) total);
    size_t which = 0;
    while ((int) out.size() < total)
    {
        const int n = std::min (blockSizes[which++ % blockSizes.size()], total - (int) out.size());
        juce::AudioBuffer<float> buffer (2, n + 37);
        buffer.clear();
        source.getNextAudioBlock (juce::AudioSourceChannelInfo (&buffer, 17, n));
        for (int i = 0; i < n; ++i)
            out.push_back (buffer.getSample (0, 17 + i));
        // Nothing outside the region.
        EXPECT_EQ (buffer.getSample (0, 16), 0.0f);
        EXPECT_EQ (buffer.getSample (0, 17 + n), 0.0f);
    }
    return out;
}

std::vector<int64_t> positionsOf (const std::vector<float>& samples)
{
    std::vector<int64_t> positions;
    for (auto v : samples)
        positions.push_back ((int64_t) v - 1);
    return positions;
}
} // namespace

TEST (LoopRegionSource, LoopWrapsOnTheExactSampleWhateverTheBlocks)
{
    const struct { int64_t start, loopStart, loopEnd; std::vector<int> blocks; } cases[] = {
        { 19800, 10000, 20000, { 512 } },             // the wrap inside a block
        { 19488, 10000, 20000, { 512 } },             // the boundary exactly on a block end: late, no lost sample
        { 0, 300, 1000, { 64, 100, 333, 1 } },        // many wraps, odd block sizes
        { 100, 0, 1024, { 1024 } },                   // the loop as long as a block
    };

    for (const auto& c : cases)
    {
        RampSource ramp;
        LoopRegionSource loop (&ramp);
        loop.prepareToPlay (512, 48000.0);
        std::vector<std::pair<int64_t, double>> jumps;
        std::vector<std::string> events;
        loop.onPositionJump = [&] (int64_t p, double rate) { jumps.emplace_back (p, rate); };
        loop.onEvent = [&] (const char* kind) { events.emplace_back (kind); };
        loop.setLoopRegion (c.loopStart, c.loopEnd, true);
        loop.setNextReadPosition (c.start);

        const int total = 3000;
        const auto positions = positionsOf (renderChannel0 (loop, total, c.blocks));

        // Reference: one sample after another, back to loopStart after loopEnd - 1.
        int64_t expected = c.start;
        int wraps = 0;
        for (int i = 0; i < total; ++i)
        {
            ASSERT_EQ (positions[(size_t) i], expected) << "sample " << i << " of loop " << c.loopStart << ".." << c.loopEnd;
            if (++expected == c.loopEnd)
            {
                expected = c.loopStart;
                ++wraps;
            }
        }
        EXPECT_EQ ((int) jumps.size(), wraps);
        for (const auto& jump : jumps)
            EXPECT_EQ (jump, std::make_pair (c.loopStart, 48000.0));
        EXPECT_EQ (loop.loopFired.load(), wraps > 0);
        EXPECT_EQ (loop.lastLoopStart.load(), wraps > 0 ? c.loopStart : 0);
    }
}

TEST (LoopRegionSource, SplitAndLateWrapsReportWhereTheyHappened)
{
    RampSource ramp;
    LoopRegionSource loop (&ramp);
    loop.prepareToPlay (512, 44100.0);
    std::vector<std::string> events;
    int jumps = 0;
    loop.onEvent = [&] (const char* kind) { events.emplace_back (kind); };
    loop.onPositionJump = [&] (int64_t p, double rate)
    {
        ++jumps;
        EXPECT_EQ (p, 10000);
        EXPECT_EQ (rate, 44100.0);
    };
    loop.setLoopRegion (10000, 20000, true);
    loop.setNextReadPosition (19800);

    const auto positions = positionsOf (renderChannel0 (loop, 512, { 512 }));
    EXPECT_EQ (positions[0], 19800);
    EXPECT_EQ (positions[199], 19999);
    EXPECT_EQ (positions[200], 10000);
    EXPECT_EQ (positions[511], 10311);
    EXPECT_EQ (events, std::vector<std::string> { "LOOP-split" });
    EXPECT_EQ (loop.lastLoopAt.load(), 20000);
    EXPECT_EQ (jumps, 1);
    EXPECT_TRUE (loop.loopFired.exchange (false));

    // A position already past the end (a seek beyond it) wraps at the block's start.
    loop.setNextReadPosition (25000);
    const auto late = positionsOf (renderChannel0 (loop, 512, { 512 }));
    EXPECT_EQ (late.front(), 10000);
    EXPECT_EQ (events.back(), "LOOP-late");
    EXPECT_EQ (loop.lastLoopAt.load(), 25000);

    // Deactivating clears a pending report and stops the wraps.
    loop.setLoopRegion (10000, 20000, false);
    EXPECT_FALSE (loop.loopFired.load());
    loop.setNextReadPosition (19900);
    const auto straight = positionsOf (renderChannel0 (loop, 512, { 512 }));
    EXPECT_EQ (straight.back(), 19900 + 511);
}

TEST (LoopRegionSource, JumpFiresOnceOnItsSampleAndTakesPrecedenceOverTheLoop)
{
    RampSource ramp;
    LoopRegionSource loop (&ramp);
    loop.prepareToPlay (256, 48000.0);
    std::vector<std::string> events;
    std::vector<int64_t> jumps;
    loop.onEvent = [&] (const char* kind) { events.emplace_back (kind); };
    loop.onPositionJump = [&] (int64_t p, double) { jumps.push_back (p); };

    loop.setLoopRegion (1000, 1500, true);
    loop.setJump (1400, 50000, true);
    loop.setNextReadPosition (1300);

    // The jump's block does not examine the loop; the next block finds itself past the loop's end
    // and wraps late.
    const auto positions = positionsOf (renderChannel0 (loop, 512, { 256 }));
    EXPECT_EQ (positions[99], 1399);
    for (size_t i = 100; i < 256; ++i)
        ASSERT_EQ (positions[i], 50000 + (int64_t) i - 100) << i;
    for (size_t i = 256; i < 512; ++i)
        ASSERT_EQ (positions[i], 1000 + (int64_t) i - 256) << i;
    EXPECT_EQ ((std::vector<std::string> { "JUMP-split", "LOOP-late" }), events);
    EXPECT_EQ ((std::vector<int64_t> { 50000, 1000 }), jumps);

    // One-shot: without the loop the stream runs on from the target.
    loop.setLoopRegion (0, 0, false);
    loop.setNextReadPosition (1300);
    const auto again = positionsOf (renderChannel0 (loop, 512, { 256 }));
    EXPECT_EQ (again.back(), 1300 + 511);
    EXPECT_EQ (events.size(), 2u);
    EXPECT_EQ (loop.lastJumpAt.load(), 1400);
    EXPECT_EQ (loop.lastJumpTarget.load(), 50000);
    EXPECT_TRUE (loop.jumpFired.load());

    // A trigger passed during a seek fires at the next block, late, once.
    loop.setJump (2000, 7000, true);
    loop.setNextReadPosition (2600);
    const auto late = positionsOf (renderChannel0 (loop, 512, { 256 }));
    EXPECT_EQ (late.front(), 7000);
    EXPECT_EQ (late.back(), 7511);
    EXPECT_EQ (events.back(), "JUMP-late");
    EXPECT_EQ (loop.lastJumpAt.load(), 2600);

    // Disarming clears the pending report.
    loop.setJump (0, 0, false);
    EXPECT_FALSE (loop.jumpFired.load());
}

TEST (LoopRegionSource, PendingSeekComesFirstAndTakesTheWholeBlock)
{
    RampSource ramp;
    LoopRegionSource loop (&ramp);
    loop.prepareToPlay (128, 48000.0);
    std::vector<int64_t> jumps;
    loop.onPositionJump = [&] (int64_t p, double) { jumps.push_back (p); };
    loop.setLoopRegion (0, 100, true); // would wrap in this block

    loop.setNextReadPosition (40);
    loop.requestSeek (9000);
    const auto positions = positionsOf (renderChannel0 (loop, 128, { 128 }));
    EXPECT_EQ (positions.front(), 9000);
    EXPECT_EQ (positions.back(), 9127);
    EXPECT_EQ (jumps, std::vector<int64_t> { 9000 });
    EXPECT_TRUE (loop.seekDone.exchange (false));
    EXPECT_EQ (loop.seekFrom.load(), 40);
    EXPECT_EQ (loop.seekTo.load(), 9000);
}

TEST (PositionableMixerSource, AddsInputsAndMixesPullsLongerThanPrepared)
{
    ConstantSource a (0.25f, -0.5f), b (0.125f, 0.0625f);
    RampSource ramp;
    PositionableMixerSource mixer;
    mixer.prepareToPlay (64, 48000.0);
    mixer.addInputSource (&a);
    mixer.addInputSource (&b);
    mixer.addInputSource (&ramp);
    mixer.addInputSource (&a); // no duplicates
    EXPECT_EQ (mixer.numInputs(), 3);
    EXPECT_EQ (a.prepareCount, 1) << "a late input is prepared once";

    // 300 samples through a mixer prepared for 64: mixed in pieces, each sample exact.
    const auto out = renderBlocks (mixer, 2, 300, 1);
    for (int i = 0; i < 300; ++i)
    {
        ASSERT_FLOAT_EQ (out.getSample (0, i), 0.375f + RampSource::valueAt (i)) << i;
        ASSERT_FLOAT_EQ (out.getSample (1, i), -0.4375f - RampSource::valueAt (i)) << i;
    }

    mixer.setNextReadPosition (1000);
    EXPECT_EQ (ramp.position, 1000);
    EXPECT_EQ (mixer.getNextReadPosition(), 1000);
    mixer.removeInputSource (&b);
    EXPECT_EQ (mixer.numInputs(), 2);
    mixer.clearInputs();
    EXPECT_EQ (mixer.numInputs(), 0);
    const auto silent = renderBlocks (mixer, 2, 64, 1);
    EXPECT_EQ (silent.getMagnitude (0, 64), 0.0f);
}

TEST (PositionableMixerSource, VirtualLengthRunsTheClockWithoutInputs)
{
    PositionableMixerSource mixer;
    mixer.prepareToPlay (512, 48000.0);
    mixer.setVirtualLength (96000);
    mixer.setNextReadPosition (100);

    const auto out = renderBlocks (mixer, 2, 512, 3);
    EXPECT_EQ (out.getMagnitude (0, out.getNumSamples()), 0.0f);
    EXPECT_EQ (mixer.getNextReadPosition(), 100 + 3 * 512);
    EXPECT_EQ (mixer.getTotalLength(), 96000);

    // With inputs the position is theirs and the length the longest.
    RampSource ramp (200000);
    mixer.addInputSource (&ramp);
    ramp.position = 0;
    EXPECT_EQ (mixer.getNextReadPosition(), 0);
    EXPECT_EQ (mixer.getTotalLength(), 200000);
}

TEST (TapAudioSource, CapturesWhatPassesAccumulatesAndRestartsWhenFull)
{
    RampSource ramp;
    TapAudioSource tap (&ramp);
    tap.prepareToPlay (128, 48000.0); // capture holds 256

    tap.resetCapture();
    renderBlocks (tap, 2, 100, 1);
    renderBlocks (tap, 2, 100, 1);
    EXPECT_EQ (tap.getCaptured(), 200);
    for (int i = 0; i < 200; ++i)
    {
        ASSERT_EQ (tap.getCapture().getSample (0, i), RampSource::valueAt (i));
        ASSERT_EQ (tap.getCapture().getSample (1, i), -RampSource::valueAt (i));
    }
    EXPECT_EQ (tap.peak.exchange (0.0f), RampSource::valueAt (199));

    renderBlocks (tap, 2, 100, 1); // only 56 fit
    EXPECT_EQ (tap.getCaptured(), 256);
    renderBlocks (tap, 2, 100, 1); // full: starts again, keeps the newest
    EXPECT_EQ (tap.getCaptured(), 100);
    EXPECT_EQ (tap.getCapture().getSample (0, 0), RampSource::valueAt (300));

    // A mono block leaves the capture's channel 1 silent.
    tap.resetCapture();
    juce::AudioBuffer<float> mono (1, 64);
    tap.getNextAudioBlock (juce::AudioSourceChannelInfo (&mono, 0, 64));
    EXPECT_EQ (tap.getCaptured(), 64);
    EXPECT_EQ (tap.getCapture().getMagnitude (1, 0, 64), 0.0f);
    EXPECT_GT (tap.getCapture().getMagnitude (0, 0, 64), 0.0f);
}

TEST (SplitRouterSource, SeparatesTheMonitorGroupsFromTheMusic)
{
    // Music (0.5, 0.3) plus a click group (0.2, 0.2), all summed upstream of the split stage.
    ConstantSource music (0.5f, 0.3f), click (0.2f, 0.2f);
    TapAudioSource clickTap (&click);
    PositionableMixerSource mix;
    mix.addInputSource (&music);
    mix.addInputSource (&clickTap);
    SplitRouterSource split (&mix);
    split.monitorTaps = { &clickTap };
    split.prepareToPlay (256, 48000.0);

    auto renderOne = [&] (int n)
    {
        clickTap.resetCapture();
        juce::AudioBuffer<float> buffer (4, n);
        buffer.clear();
        split.getNextAudioBlock (juce::AudioSourceChannelInfo (&buffer, 0, n));
        return buffer;
    };

    auto off = renderOne (256);
    EXPECT_FLOAT_EQ (off.getSample (0, 10), 0.7f);
    EXPECT_FLOAT_EQ (off.getSample (1, 10), 0.5f);

    split.splitActive = true;
    auto on = renderOne (256);
    for (int i : { 0, 100, 255 })
    {
        EXPECT_NEAR (on.getSample (0, i), (0.7f + 0.5f) * 0.5f - 0.2f, 1e-6f); // mono music without the click
        EXPECT_NEAR (on.getSample (1, i), 0.2f, 1e-6f);                          // the click alone
        EXPECT_NEAR (on.getSample (2, i), 0.7f, 1e-6f);                          // channels from 2 on untouched
    }

    // A block longer than the monitor buffer (2 x 256 + 16) is split only over the buffer's length,
    // and the overrun is logged once.
    AudioCapturingLogger capture;
    renderOne (600);
    renderOne (600);
    AudioThreadLog::shared().drain();
    const auto lines = capture.lines();
    ASSERT_EQ (lines.size(), 1u);
    EXPECT_EQ (lines[0], "[F6-OVERRUN] SplitRouterSource.monitorBuffer < block (528 < 600)");
}

TEST (Int16MemoryAudioSource, PlaysSixteenBitSamplesAndSilencesChunksNotLoaded)
{
    const int64_t length = 3 * ChunkLoadMap::defaultChunkSize;
    std::vector<Int16ChannelData> channels (1);
    channels[0].allocate (length);
    for (int64_t i = 0; i < length; ++i)
        channels[0].samples[(size_t) i] = (int16_t) ((i % 2000) - 1000);

    ChunkLoadMap map;
    map.reset (length);
    EXPECT_EQ (map.numChunks, 3);
    map.markLoaded (0);
    std::atomic<int64_t> misses { 0 };
    Int16MemoryAudioSource source (&channels, &map, &misses);
    EXPECT_EQ (source.getTotalLength(), length);

    auto expectAudio = [&] (const juce::AudioBuffer<float>& out, int64_t from, int n)
    {
        for (int i = 0; i < n; ++i)
            for (int c = 0; c < 2; ++c) // mono track: both output channels carry it
                ASSERT_EQ (out.getSample (c, i), (float) ((from + i) % 2000 - 1000) / 32768.0f) << from + i;
    };

    // A 200-sample read crossing into chunk 1 (not loaded): 200 samples of silence, one miss.
    const int64_t from = ChunkLoadMap::defaultChunkSize - 100;
    source.setNextReadPosition (from);
    auto out = renderBlocks (source, 2, 200, 1);
    EXPECT_EQ (out.getMagnitude (0, 200), 0.0f);
    EXPECT_EQ (misses.load(), 1);
    EXPECT_EQ (source.getNextReadPosition(), from + 200);

    map.markLoaded (1);
    source.setNextReadPosition (from);
    out = renderBlocks (source, 2, 200, 1);
    expectAudio (out, from, 200);
    EXPECT_EQ (misses.load(), 1);

    // Seeks are clamped; the end is silence unless looping.
    source.setNextReadPosition (-5);
    EXPECT_EQ (source.getNextReadPosition(), 0);
    source.setNextReadPosition (length + 10);
    EXPECT_EQ (source.getNextReadPosition(), length);

    map.markLoaded (2);
    source.setNextReadPosition (length - 10);
    juce::AudioBuffer<float> tail (2, 32);
    tail.clear();
    tail.setSample (0, 31, 9.0f);
    source.getNextAudioBlock (juce::AudioSourceChannelInfo (&tail, 0, 32));
    EXPECT_EQ (tail.getMagnitude (0, 10, 22), 0.0f);
    source.setLooping (true);
    source.setNextReadPosition (length - 10);
    out = renderBlocks (source, 2, 32, 1);
    EXPECT_EQ (out.getSample (0, 10), (float) (0 % 2000 - 1000) / 32768.0f);
    EXPECT_EQ (source.getNextReadPosition(), 22);
}

TEST (Int16MemoryAudioSource, ChunkMapAndChannelDataEdges)
{
    ChunkLoadMap map;
    const struct { int64_t samples, chunks; } cases[] = { { 0, 0 }, { -4, 0 }, { 1, 1 }, { 131072, 1 }, { 131073, 2 }, { 131072 * 65, 65 } };
    for (const auto& c : cases)
    {
        map.reset (c.samples);
        EXPECT_EQ (map.numChunks, c.chunks) << c.samples;
        EXPECT_EQ (map.totalSamples, std::max<int64_t> (0, c.samples));
        EXPECT_EQ (map.chunkSize, 131072);
        for (int64_t i = 0; i < c.chunks; ++i)
            ASSERT_FALSE (map.isLoaded (i));
        if (c.chunks > 64)
        {
            map.markLoaded (64);
            EXPECT_TRUE (map.isLoaded (64));
            EXPECT_FALSE (map.isLoaded (0));
        }
    }

    Int16ChannelData data;
    data.allocate (0);
    EXPECT_EQ (data.samples, nullptr);
    EXPECT_EQ (data.numSamples, 0);

    std::vector<Int16ChannelData> none;
    Int16MemoryAudioSource empty (&none);
    juce::AudioBuffer<float> out (2, 16);
    out.clear();
    out.setSample (1, 3, 1.0f);
    empty.getNextAudioBlock (juce::AudioSourceChannelInfo (&out, 0, 16));
    EXPECT_EQ (out.getMagnitude (0, 16), 0.0f);
    EXPECT_EQ (empty.getTotalLength(), 0);
}
