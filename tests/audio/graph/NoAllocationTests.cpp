#include "tests/support/AllocationCounter.h"
#include "SongGraphFixture.h"

#include "audio/graph/AudioThreadLog.h"

#include <gtest/gtest.h>

using namespace quorvelle;
using namespace quorvelle::test;

namespace
{
// Renders one device block through the router with the allocation counter armed only around the
// call, like the device thread would. Returns allocations + frees.
long long renderCounted (MultiBusRouter& router, juce::AudioBuffer<float>& buffer, int n)
{
    const juce::AudioSourceChannelInfo info (&buffer, 0, n);
    AllocationCounter counter;
    router.getNextAudioBlock (info);
    return counter.allocations() + counter.frees();
}
} // namespace

// The whole scenario, with the groups' live stretch on (ratio 1.1, +2 semitones, then sweeps) or
// bypassed (the song stretched offline).
class AudioThreadScenario : public ::testing::TestWithParam<bool>
{
};

TEST_P (AudioThreadScenario, RouterRendersWithoutAllocatingThroughWrapsHandOffsSweepsAndCustomResampling)
{
    const bool liveStretch = GetParam();
    AudioThreadLog::shared().drain();
    SongGraphFixture graph (20, 44100.0, 48000.0, 4.0);
    const int block = 256;
    graph.prepare (block, 48000.0);
    graph.router.logCallback = [] (const juce::String&) {};
    // CUSTOM on eight outputs, at 44.1 kHz into 48 kHz.
    graph.router.setRouting ("drums", 2, true);
    graph.router.setRouting ("bass", 4, false);
    graph.router.setRouting ("metronomeTap", 6, true);
    graph.router.setDeviceOutputChannels (8);
    graph.setStretch (1.1f, 2.0f);
    graph.setBypass (! liveStretch);
    graph.padFilter.lowPassCutoff = 8000.0f;
    graph.padFilter.updateCoefficients();

    juce::AudioBuffer<float> buffer (8, 4 * block);
    juce::AudioBuffer<float> overlaySample (2, 3000);
    overlaySample.clear();

    // Warm-up: the first blocks fill caches of the libraries below (not steady state).
    for (int i = 0; i < 50; ++i)
        graph.router.getNextAudioBlock (juce::AudioSourceChannelInfo (&buffer, 0, block));

    long long total = 0;
    std::vector<juce::String> offenders;
    auto step = [&] (const char* what, int n = 256)
    {
        const auto count = renderCounted (graph.router, buffer, n);
        if (count != 0)
            offenders.push_back (juce::String (what) + ": " + juce::String (count));
        total += count;
    };

    // Loop wraps (every wrap moves every group's stretcher: resets) and a one-shot jump.
    graph.loop.setLoopRegion (20000, 30000, true);
    graph.loop.setNextReadPosition (19000);
    for (int i = 0; i < 120; ++i)
        step ("loop wraps");
    graph.loop.setJump (graph.loop.getNextReadPosition() + 300, 5000, true);
    for (int i = 0; i < 8; ++i)
        step ("jump");
    graph.loop.requestSeek (22000);
    graph.crossfade.trigger();
    for (int i = 0; i < 20; ++i)
        step ("seek and crossfade");

    // Ratio and pitch sweeps.
    for (int i = 0; i < 60; ++i)
    {
        graph.setStretch (0.8f + 0.01f * (float) i, -12.0f + 0.4f * (float) i);
        step ("ratio and pitch sweep");
    }

    // Gains: message-thread ramps, an audio-thread request from a callback.
    graph.fader.setGain (0.3f, 1.0f);
    graph.groups[3].gain->setGain (0.5f, 0.05f);
    graph.padGain.setGain (0.2f, 0.02f);
    graph.router.countJumpCallback = [&] { graph.fader.requestRamp (1.0f, 0.005f); };
    for (int i = 0; i < 30; ++i)
        step ("gain ramps");

    // A count-in before the song hands off (a log line), then a standalone count ends into a count jump.
    graph.countIn.start (3 * block + 100);
    for (int i = 0; i < 8; ++i)
        step ("count-in hand-off");
    graph.standalone = true;
    graph.countJumpArmed = true;
    graph.countIn.start (block / 2);
    for (int i = 0; i < 4; ++i)
        step ("count jump");
    graph.countJumpArmed = false;

    // An overlay-driven song-to-song hand-off.
    graph.overlay.loadSample (overlaySample, 48000.0, 48000.0);
    graph.overlayDrives = true;
    graph.handoffArmed = true;
    graph.router.handoffCallback = [] {};
    for (int i = 0; i < 16; ++i)
        step ("overlay hand-off");

    // Split monitor (a two-output device), FAST, and a block four times the prepared size.
    graph.router.setDeviceOutputChannels (2);
    graph.router.splitMonitor = true;
    graph.split.splitActive = true;
    for (int i = 0; i < 10; ++i)
        step ("split");
    graph.router.splitMonitor = false;
    graph.split.splitActive = false;
    for (auto name : { "drums", "bass", "metronomeTap" })
        graph.router.setRouting (name, 0, true);
    for (int i = 0; i < 10; ++i)
        step ("fast");
    graph.router.setDeviceOutputChannels (8);
    graph.router.setRouting ("drums", 2, true);
    for (int i = 0; i < 6; ++i)
        step ("block larger than prepared", 4 * block);

    EXPECT_EQ (total, 0);
    for (const auto& offender : offenders)
        ADD_FAILURE() << offender;

    // The scenario did what it says: wraps, a jump, two hand-offs and their log line happened.
    EXPECT_TRUE (graph.loop.loopFired.load());
    EXPECT_TRUE (graph.loop.jumpFired.load());
    EXPECT_TRUE (graph.autoStartRaised.load());
    EXPECT_GT (AudioThreadLog::shared().drain(), 0);
}

INSTANTIATE_TEST_SUITE_P (Stretch, AudioThreadScenario, ::testing::Values (false, true),
                          [] (const ::testing::TestParamInfo<bool>& info) { return info.param ? "Live" : "Bypassed"; });

TEST (AudioThread, LogRingKeepsOrderReportsDropsAndNeverAllocatesWhenQueuing)
{
    AudioThreadLog log (8);
    std::vector<juce::String> lines;
    const int sink = log.addSink ([&] (const juce::String& line) { lines.push_back (line); });

    AudioThreadLog::Record record;
    record.sink = sink;
    {
        AllocationCounter counter;
        for (int i = 0; i < 10; ++i)
        {
            record.kind = i % 2 == 0 ? AudioThreadLog::Kind::handoff : AudioThreadLog::Kind::text;
            record.ints[0] = i;
            record.ints[1] = 512;
            record.setName (i % 2 == 0 ? "" : "voix \xc3\xa9t\xc3\xa9 \xe2\x86\x92 ok");
            log.push (record);
        }
        EXPECT_EQ (counter.allocations() + counter.frees(), 0);
    }

    CapturingLogger logger;
    EXPECT_EQ (log.drain(), 8);

    ASSERT_EQ (lines.size(), 8u);
    EXPECT_EQ (lines[0], "[HANDOFF] completedAt=0 n=512 tSamples=512");
    EXPECT_EQ (lines[1], juce::String::fromUTF8 ("voix \xc3\xa9t\xc3\xa9 \xe2\x86\x92 ok"));
    EXPECT_EQ (lines[6], "[HANDOFF] completedAt=6 n=512 tSamples=506");
    ASSERT_EQ (logger.lines().size(), 1u);
    EXPECT_EQ (logger.lines()[0], "[AUDIO-LOG] dropped 2 lines (queue full)");
    EXPECT_EQ (log.droppedLines(), 2);

    // A name longer than the record keeps whole characters and is reported; a removed sink's lines
    // go to juce::Logger.
    std::string longName (AudioThreadLog::maxNameBytes - 1, 'a');
    longName += "\xc3\xa9";
    record.kind = AudioThreadLog::Kind::text;
    record.setName (longName.c_str());
    EXPECT_TRUE (record.nameShortened);
    EXPECT_EQ (record.nameBytes, AudioThreadLog::maxNameBytes - 1);
    log.push (record);
    log.removeSink (sink);
    log.drain();
    ASSERT_EQ (logger.lines().size(), 3u);
    EXPECT_EQ (logger.lines()[1], juce::String (std::string (AudioThreadLog::maxNameBytes - 1, 'a')));
    EXPECT_TRUE (logger.lines()[2].startsWith ("[AUDIO-LOG] 1 lines had a name longer than"));
}
