#include "GraphTestSources.h"

#include "audio/graph/AudioThreadLog.h"
#include "audio/graph/MultiBusRouter.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace quorvelle;
using namespace quorvelle::test;

namespace
{
// A small graph: two group buses (drums, bass) summed into the song mix, and the direct sources.
struct Graph : RouterFlags
{
    ConstantSource drums { 0.1f, 0.2f }, bass { 0.01f, 0.02f };
    TapAudioSource drumsTap { &drums }, bassTap { &bass };
    PositionableMixerSource music;

    ConstantSource click { 0.001f, 0.002f }, pads { 0.0001f, 0.0002f };
    TapAudioSource metronomeTap { &click };
    SimpleTapAudioSource padsTap { &pads };

    OverlaySampleSource overlay;

    int handoffs = 0, countJumps = 0, completions = 0;

    MultiBusRouter router;

    Graph (int block = 512, double rate = 48000.0, juce::AudioSource* mainSource = nullptr)
    {
        music.addInputSource (&drumsTap);
        music.addInputSource (&bassTap);
        router.mainSource = mainSource != nullptr ? mainSource : &music;
        bind (router);
        router.handoffCallback = [this] { ++handoffs; };
        router.countJumpCallback = [this] { ++countJumps; };
        countState.onComplete = [this] { ++completions; };

        router.addBus ("drums", &drumsTap);
        router.addBus ("bass", &bassTap);
        router.addDirectSource ("metronomeTap", &metronomeTap);
        router.setMonitor ("metronomeTap", true);
        router.addDirectSource ("pads", &padsTap);
        router.addDirectSource ("countIn", &countIn);
        router.addDirectSource ("countOverlay", &overlay);
        router.prepareToPlay (block, rate);
    }

    juce::AudioBuffer<float> render (int channels, int n)
    {
        juce::AudioBuffer<float> buffer (channels, n + 16);
        for (int c = 0; c < channels; ++c)
            juce::FloatVectorOperations::fill (buffer.getWritePointer (c), 7.0f, n + 16); // not silent on entry
        router.getNextAudioBlock (juce::AudioSourceChannelInfo (&buffer, 8, n));
        for (int c = 0; c < channels; ++c)
        {
            EXPECT_EQ (buffer.getSample (c, 7), 7.0f) << "wrote before the region";
            EXPECT_EQ (buffer.getSample (c, 8 + n), 7.0f) << "wrote after the region";
        }
        juce::AudioBuffer<float> region (channels, n);
        for (int c = 0; c < channels; ++c)
            region.copyFrom (c, 0, buffer, c, 8, n);
        return region;
    }
};

void expectChannel (const juce::AudioBuffer<float>& out, int channel, float value, int from = 0, int to = -1)
{
    if (to < 0)
        to = out.getNumSamples();
    for (int i = from; i < to; ++i)
        ASSERT_NEAR (out.getSample (channel, i), value, 1.0e-7f) << "channel " << channel << " sample " << i;
}
} // namespace

TEST (MultiBusRouter, FastPathMixesSongAndDirectsOnTheFirstTwoOutputs)
{
    Graph graph;
    graph.router.setDirectGain ("pads", 0.5f);

    auto out = graph.render (2, 512);
    expectChannel (out, 0, 0.11f + 0.001f + 0.00005f);
    expectChannel (out, 1, 0.22f + 0.002f + 0.0001f);
    EXPECT_EQ (graph.countIn.renders, 0) << "an idle count-in is not rendered";

    // A one-output device receives channel 0 of every source.
    out = graph.render (1, 256);
    expectChannel (out, 0, 0.11f + 0.001f + 0.00005f);

    // Master and standby gains: within 1e-4 of 1 untouched, 0 silences everything.
    graph.router.masterGain = 0.99995f;
    out = graph.render (2, 64);
    EXPECT_EQ (out.getSample (0, 3), 0.11f + 0.001f + 0.00005f);
    graph.router.masterGain = 0.5f;
    out = graph.render (2, 64);
    expectChannel (out, 0, (0.11f + 0.001f + 0.00005f) * 0.5f);
    graph.router.masterGain = 1.0f;
    graph.router.standbyGain = 0.0f;
    out = graph.render (2, 64);
    EXPECT_EQ (out.getMagnitude (0, 64), 0.0f);
}

TEST (MultiBusRouter, SplitPathPutsMonitorSourcesAndTheCountOnOutputOne)
{
    Graph graph;
    graph.router.splitMonitor = true;

    auto out = graph.render (2, 512);
    // The song mix as rendered (its split stage has already separated it), the metronome (monitor)
    // at half gain per channel on output 1, the pads at half gain per channel on output 0.
    expectChannel (out, 0, 0.11f + (0.0001f + 0.0002f) * 0.5f);
    expectChannel (out, 1, 0.22f + (0.001f + 0.002f) * 0.5f);

    // The count-in before the song: the song waits, the count sounds on output 1 only.
    graph.router.countInGain = 0.5f;
    graph.countIn.start (100000);
    out = graph.render (2, 512);
    expectChannel (out, 0, (0.0001f + 0.0002f) * 0.5f);
    expectChannel (out, 1, 0.25f * 0.5f * 0.5f * 2.0f + (0.001f + 0.002f) * 0.5f);

    // A four-output device: the song chain stays on outputs 0 and 1, nothing reaches 2 and 3.
    graph.countIn.active = false;
    graph.countState.counting = false;
    out = graph.render (4, 128);
    expectChannel (out, 0, 0.11f + (0.0001f + 0.0002f) * 0.5f);
    expectChannel (out, 2, 0.0f);
    expectChannel (out, 3, 0.0f);

    // On a one-output device the split takes CUSTOM: everything on output 0.
    out = graph.render (1, 128);
    expectChannel (out, 0, 0.1f + 0.01f + 0.001f + 0.0001f);
}

TEST (MultiBusRouter, CustomPathPutsEachBusOnItsOwnOutputs)
{
    Graph graph;
    EXPECT_FALSE (graph.router.needsCustomRouting());
    graph.router.setRouting ("drums", 2, false);
    EXPECT_TRUE (graph.router.needsCustomRouting());
    graph.router.setRouting ("metronomeTap", 3, false);
    graph.router.setDirectGain ("pads", 2.0f);

    auto out = graph.render (4, 512);
    expectChannel (out, 0, 0.01f + 0.0002f);
    expectChannel (out, 1, 0.02f + 0.0004f);
    expectChannel (out, 2, 0.5f * (0.1f + 0.2f));
    expectChannel (out, 3, 0.5f * (0.001f + 0.002f));

    // A route outside the device is dropped channel by channel.
    graph.router.setRouting ("bass", 1, true); // 1 and 2 on a 2-output device: only 1 exists
    out = graph.render (2, 128); // custom routing, two outputs: CUSTOM
    expectChannel (out, 0, 0.0002f);
    expectChannel (out, 1, 0.01f + 0.0004f);

    // While the transport is bound and stopped only direct sources sound.
    ConstantSource transportInput (0.0f, 0.0f);
    juce::AudioTransportSource transport;
    transport.setSource (&transportInput);
    graph.router.transport = &transport;
    out = graph.render (4, 128);
    expectChannel (out, 0, 0.0002f);
    expectChannel (out, 2, 0.0f);
    expectChannel (out, 3, 0.5f * (0.001f + 0.002f));
    transport.setSource (nullptr);
    graph.router.transport = nullptr;

    // Back to defaults: the flag clears and two outputs take FAST again.
    for (auto name : { "drums", "bass", "metronomeTap" })
        graph.router.setRouting (name, 0, true);
    EXPECT_FALSE (graph.router.needsCustomRouting());
}

TEST (MultiBusRouter, CountInHandsOffToTheSongOnItsEndSample)
{
    AudioCapturingLogger log;
    RampSource song;
    Graph graph (512, 48000.0, &song);
    graph.countIn.start (512 + 300); // ends 300 samples into the second block

    auto first = graph.render (2, 512);
    expectChannel (first, 0, 0.25f + 0.001f + 0.0001f); // the count alone, the song waits
    EXPECT_EQ (song.position, 0);

    auto second = graph.render (2, 512);
    expectChannel (second, 0, 0.25f + 0.001f + 0.0001f, 0, 300);
    for (int i = 300; i < 512; ++i)
        ASSERT_EQ (second.getSample (0, i), RampSource::valueAt (i - 300) + 0.001f + 0.0001f) << i;
    EXPECT_EQ (song.position, 212);
    EXPECT_EQ (graph.countState.completedAtSample.load(), -1);
    EXPECT_EQ (graph.completions, 1);
    EXPECT_EQ (graph.countState.completionOffset.load(), 300) << "the completion learns where the song starts";

    graph.render (2, 512);
    EXPECT_EQ (graph.completions, 1);
    EXPECT_EQ (song.position, 212 + 512);

    AudioThreadLog::shared().drain();
    ASSERT_EQ (log.lines().size(), 1u);
    EXPECT_EQ (log.lines()[0], "[HANDOFF] completedAt=300 n=512 tSamples=212");
}

TEST (MultiBusRouter, OverlayHandsOffOnItsLastSample)
{
    RampSource song;
    Graph graph (512, 48000.0, &song);
    juce::AudioBuffer<float> sample (2, 700);
    sample.clear();
    graph.overlay.loadSample (sample, 48000.0, 48000.0);
    graph.overlayDrives = true;
    graph.handoffArmed = true;

    graph.render (2, 512);
    EXPECT_EQ (graph.handoffs, 0);
    EXPECT_EQ (song.position, 0);
    EXPECT_TRUE (graph.handoffArmed.load());

    auto out = graph.render (2, 512);
    EXPECT_EQ (graph.handoffs, 1);
    EXPECT_EQ (graph.router.handoffOffset.load(), 188) << "the overlay's samples left";
    EXPECT_TRUE (graph.autoStartRaised.load());
    EXPECT_FALSE (graph.handoffArmed.load());
    EXPECT_FALSE (graph.overlayDrives.load());
    EXPECT_GT (graph.stampMs.load(), 0.0);
    expectChannel (out, 0, 0.001f + 0.0001f, 0, 188);
    EXPECT_EQ (out.getSample (0, 188), RampSource::valueAt (0) + 0.001f + 0.0001f);
    EXPECT_EQ (song.position, 512 - 188);

    graph.render (2, 512);
    EXPECT_EQ (graph.handoffs, 1) << "fires once";
}

TEST (MultiBusRouter, StandaloneCountEndsIntoTheSongOrTheCountJump)
{
    RampSource song;
    Graph graph (256, 48000.0, &song);

    // A standalone count with a hand-off armed: the song runs under the count, the hand-off fires on
    // the count's end.
    graph.standalone = true;
    graph.handoffArmed = true;
    graph.countIn.start (256 + 100);
    graph.render (2, 256);
    EXPECT_EQ (graph.handoffs, 0);
    EXPECT_EQ (song.position, 256);
    auto out = graph.render (2, 256);
    EXPECT_EQ (graph.handoffs, 1);
    EXPECT_EQ (graph.router.handoffOffset.load(), 100) << "the standalone count's end";
    EXPECT_FALSE (graph.standalone.load());
    EXPECT_FALSE (graph.handoffArmed.load());
    // The song plays from offset 100 of this block: the count's end.
    EXPECT_EQ (out.getSample (0, 100), RampSource::valueAt (256) + 0.001f + 0.0001f);

    // A count jump: once the standalone count has ended, the callback fires and the count is cleared.
    graph.standalone = true;
    graph.countJumpArmed = true;
    graph.countIn.start (50);
    graph.render (2, 256); // the count renders and ends in this block
    graph.render (2, 256); // not counting, not active: the jump's end
    EXPECT_EQ (graph.countJumps, 1);
    EXPECT_FALSE (graph.standalone.load());
}

TEST (MultiBusRouter, SilenceWithoutASessionAndRouteSnapshotChanges)
{
    Graph graph;
    graph.sessionPresent = false;
    auto out = graph.render (2, 128);
    EXPECT_EQ (out.getMagnitude (0, 128), 0.0f);
    EXPECT_EQ (out.getMagnitude (1, 0, 128), 0.0f);

    graph.standalone = true; // a standalone count plays without a session
    out = graph.render (2, 128);
    EXPECT_GT (out.getMagnitude (0, 128), 0.0f);
    graph.standalone = false;
    graph.sessionPresent = true;

    // A direct source added again under its name loses its route, flag and gain.
    graph.router.setRouting ("pads", 3, false);
    graph.router.setDirectGain ("pads", 0.0f);
    graph.router.addDirectSource ("pads", &graph.padsTap);
    graph.router.visitSnapshot ([] (const RouteSlot* slots, int busCount, int directCount)
                                {
                                    EXPECT_EQ (busCount, 2);
                                    EXPECT_EQ (directCount, 4);
                                    EXPECT_EQ (slots[0].name, "bass"); // key order
                                    EXPECT_EQ (slots[1].name, "drums");
                                    bool found = false;
                                    for (int i = busCount; i < busCount + directCount; ++i)
                                        if (slots[i].name == "pads")
                                        {
                                            found = true;
                                            EXPECT_EQ (slots[i].firstChannel, 0);
                                            EXPECT_TRUE (slots[i].stereo);
                                            EXPECT_FALSE (slots[i].monitor);
                                            EXPECT_EQ (slots[i].gain, 1.0f);
                                        }
                                    EXPECT_TRUE (found);
                                });
    EXPECT_TRUE (graph.router.needsCustomRouting()) << "adding a route leaves the flag as it was";

    // Routes beyond 32 slots are not played.
    std::vector<std::unique_ptr<ConstantSource>> extra;
    for (int i = 0; i < 40; ++i)
    {
        extra.push_back (std::make_unique<ConstantSource> (1.0f, 1.0f));
        graph.router.addDirectSource ("zz" + juce::String (i).paddedLeft ('0', 2), extra.back().get());
    }
    graph.router.visitSnapshot ([] (const RouteSlot*, int busCount, int directCount) { EXPECT_EQ (busCount + directCount, 32); });
}

TEST (MultiBusRouter, LiveInputDoesNotLeakIntoTheOutputs)
{
    // The device player copies its inputs into the output buffer and hands over max(inputs,
    // outputs) channels. Two outputs, four inputs full of signal.
    RampSource song;
    Graph graph (256, 48000.0, &song);
    graph.router.setDeviceOutputChannels (2);
    juce::AudioSourcePlayer player;
    player.setSource (&graph.router);
    player.prepareToPlay (48000.0, 256);

    std::vector<std::vector<float>> inputs (4, std::vector<float> (256, 0.9f));
    std::vector<std::vector<float>> outputs (2, std::vector<float> (256, 0.0f));
    const float* inputPointers[4] = { inputs[0].data(), inputs[1].data(), inputs[2].data(), inputs[3].data() };
    float* outputPointers[2] = { outputs[0].data(), outputs[1].data() };
    auto callback = [&]
    {
        player.audioDeviceIOCallbackWithContext (inputPointers, 4, outputPointers, 2, 256, {});
    };

    // Count-in blocks: only the count and the directs.
    graph.countIn.start (256 + 100);
    callback();
    for (int i = 0; i < 256; ++i)
        ASSERT_NEAR (outputs[0][(size_t) i], 0.25f + 0.001f + 0.0001f, 1.0e-6f) << i;

    // The hand-off block: before the offset, no input either.
    callback();
    for (int i = 0; i < 100; ++i)
        ASSERT_NEAR (outputs[0][(size_t) i], 0.25f + 0.001f + 0.0001f, 1.0e-6f) << i;
    for (int i = 100; i < 256; ++i)
        ASSERT_NEAR (outputs[0][(size_t) i], RampSource::valueAt (i - 100) + 0.001f + 0.0001f, 1.0e-3f) << i;

    // Four channels handed over for a two-output device: still the two-output FAST path.
    callback();
    for (int i = 0; i < 256; ++i)
        ASSERT_NEAR (outputs[1][(size_t) i], -RampSource::valueAt (156 + i) + 0.002f + 0.0002f, 1.0e-3f) << i;
    player.setSource (nullptr);
}

TEST (MultiBusRouter, SessionAt44100OnADeviceAt48000ThroughCustom)
{
    Graph graph (512, 48000.0);
    graph.router.sessionSampleRate = 44100.0;
    graph.router.setRouting ("drums", 2, true);
    graph.router.setRouting ("bass", 4, true);

    // The taps capture constant levels: the resampled outputs hold them with no gap at block edges.
    for (int block = 0; block < 20; ++block)
    {
        auto out = graph.render (6, 512);
        const int from = block == 0 ? 1 : 0;
        expectChannel (out, 2, 0.1f, from);
        expectChannel (out, 3, 0.2f, from);
        expectChannel (out, 4, 0.01f, from);
        expectChannel (out, 5, 0.02f, from);
        expectChannel (out, 0, 0.001f + 0.0001f); // the direct sources are not resampled
    }
}

TEST (MultiBusRouter, BlocksLargerThanPreparedRenderInPieces)
{
    RampSource song;
    Graph graph (64, 48000.0, &song);
    auto out = graph.render (2, 1000);
    for (int i = 0; i < 1000; ++i)
        ASSERT_NEAR (out.getSample (0, i), RampSource::valueAt (i) + 0.001f + 0.0001f, 1.0e-4f) << i;
    EXPECT_EQ (graph.router.renderedSamples.exchange (0), 1000);
}

TEST (MultiBusRouter, PostPauseDiagnosticEveryHundredthStoppedCallback)
{
    Graph graph;
    std::vector<juce::String> lines;
    graph.router.logCallback = [&] (const juce::String& line) { lines.push_back (line); };
    ConstantSource transportInput (0.0f, 0.0f);
    juce::AudioTransportSource transport;
    transport.setSource (&transportInput);
    graph.router.transport = &transport;
    graph.router.masterGain = 0.5f;

    verboseDiagnostics = true;
    for (int i = 0; i < 200; ++i)
        graph.render (2, 64);
    verboseDiagnostics = false;
    for (int i = 0; i < 100; ++i)
        graph.render (2, 64);
    AudioThreadLog::shared().drain();

    ASSERT_EQ (lines.size(), 2u);
    // Stopped transport in FAST: the song still renders into the block (FAST does not check it).
    const auto peak = juce::String ((0.22f + 0.002f + 0.0002f) * 0.5f, 6);
    EXPECT_EQ (lines[0], "[POST-PAUSE-DIAG] cb#100 path=FAST tPlaying=N outputPeak=" + peak + " masterGain=0.500");
    EXPECT_EQ (lines[1], "[POST-PAUSE-DIAG] cb#200 path=FAST tPlaying=N outputPeak=" + peak + " masterGain=0.500");
    transport.setSource (nullptr);
}

TEST (MultiBusRouter, LinearResamplerContinuesAcrossBlocks)
{
    // Fed, block after block, with the input that follows what the previous block consumed, the
    // resampler reads a line at exactly j x r.
    for (double r : { 44100.0 / 48000.0, 48000.0 / 44100.0, 0.5 })
    {
        SrcState state;
        int64_t next = 0; // stream index of x[0]
        int64_t written = 0;
        double worst = 0.0;
        for (int block = 0; block < 50; ++block)
        {
            const int n = block % 2 == 0 ? 512 : 333;
            const int m = (int) std::ceil (n * r) + 1;
            std::vector<float> x ((size_t) m), y ((size_t) n);
            for (int k = 0; k < m; ++k)
                x[(size_t) k] = (float) (next + k);
            const int offset = state.hasCarry ? 1 : 0;
            const int consumed = (int) std::floor (n * r + state.phase);
            MultiBusRouter::resampleLinear (x.data(), m, y.data(), n, r, state);
            for (int j = 0; j < n; ++j)
                worst = std::max (worst, std::abs (y[(size_t) j] - (written + j) * r));
            written += n;
            next += consumed - offset + 1; // the carried sample is consumed's last-but-not-passed
        }
        EXPECT_LT (worst, 1.0e-2) << r;
    }

    float y[4] = { 9.0f, 9.0f, 9.0f, 9.0f };
    SrcState state { 0.25, 1.0f, true };
    MultiBusRouter::resampleLinear (nullptr, 0, y, 4, 1.0, state);
    EXPECT_EQ (y[3], 0.0f);
    EXPECT_EQ (state.phase, 0.25);
    EXPECT_TRUE (state.hasCarry);
}
