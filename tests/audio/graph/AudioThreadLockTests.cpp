// The router with the real guide sources (metronome on its three clocks, cues, count-in) and a
// chunk-mapped track, rendered with the allocation and lock counter armed around each block as the
// device thread would call it: no allocation, no free, and no blocking lock but the per-block lock
// of JUCE's transport source (see the accepted list below).

#include "SongGraphFixture.h"
#include "SpokenAndClickFixtures.h"

#include "audio/graph/CountInAudioSource.h"
#include "audio/graph/CueAudioSource.h"
#include "audio/graph/MetronomeAudioSource.h"
#include "tests/support/AllocationCounter.h"

#include <gtest/gtest.h>

#include <thread>

using namespace quorvelle;
using namespace quorvelle::test;

namespace
{
struct RealGuideGraph
{
    static constexpr double rate = 48000.0;
    static constexpr int block = 256;

    SongGraphFixture graph { 4, rate, rate, 3.0 };
    AssetFolders assets;
    juce::AudioFormatManager formats;
    std::atomic<bool> playing { true }, counting { false };
    MetronomeAudioSource metronome;
    CueAudioSource cues;
    CountInAudioSource countIn;

    std::vector<Int16ChannelData> chunkedData;
    ChunkLoadMap chunks;
    std::atomic<int64_t> misses { 0 };
    std::unique_ptr<Int16MemoryAudioSource> chunked;

    juce::AudioBuffer<float> buffer { 2, 4 * block };

    RealGuideGraph()
    {
        formats.registerBasicFormats();
        for (const auto* key : { "clic_high", "clic_low" })
            AssetFolders::writeTone (assets.clicks, juce::String (key) + ".wav", 44100.0, 300, 0.5f);
        for (const auto* key : { "1", "2", "3", "4", "coro", "puente", "cuenta_inicial" })
            AssetFolders::writeTone (assets.cues, juce::String (key) + ".wav", 44100.0, 2000, 0.3f);

        for (auto* flag : { &metronome.transportPlayingFlag, &cues.transportPlayingFlag })
            *flag = &playing;
        metronome.countInRunningFlag = &counting;
        cues.countInRunningFlag = &counting;
        metronome.logCallback = [] (const juce::String&) {};
        cues.logCallback = [] (const juce::String&) {};
        countIn.logCallback = [] (const juce::String&) {};
        metronome.loadClickSamples (assets.clicks, formats, assets.root);
        cues.loadCueSamples (assets.cues, formats, assets.root);
        countIn.countInState = &graph.countState;
        countIn.cueSamplesRef = &cues.getCueSampleBank();
        countIn.voiceSampleRate = 44100.0;

        // A track of which only the first chunk is decoded: the rest plays as counted silence.
        const auto length = 2 * ChunkLoadMap::defaultChunkSize;
        chunkedData.resize (2);
        for (auto& channel : chunkedData)
        {
            channel.allocate (length);
            for (int64_t i = 0; i < length; ++i)
                channel.samples[(size_t) i] = (int16_t) (i % 200 - 100);
        }
        chunks.reset (length);
        chunks.markLoaded (0);
        chunked = std::make_unique<Int16MemoryAudioSource> (&chunkedData, &chunks, &misses);

        // The real sources take the direct slots of the stand-ins.
        graph.router.addDirectSource ("metronomeTap", &metronome);
        graph.router.addDirectSource ("cueTap", &cues);
        graph.router.addDirectSource ("countIn", &countIn);
        graph.router.addDirectSource ("pads", chunked.get());
        graph.router.logCallback = [] (const juce::String&) {};
        graph.setBypass (true);
        graph.prepare (block, rate);

        cues.setOriginalBpm (240.0);
        cues.setBpm (240.0);
        cues.setSections (R"([{"name":"Coro","startTime":1.0},{"name":"Puente","startTime":2.0}])");
        countIn.bpm = 240.0;
    }

    // One device block with the counter armed; returns the offences of the block.
    juce::String renderCounted (int n = block)
    {
        const juce::AudioSourceChannelInfo info (&buffer, 0, n);
        long long allocations, frees, locks, outside;
        {
            AllocationCounter counter;
            graph.router.getNextAudioBlock (info);
            allocations = counter.allocations();
            frees = counter.frees();
            locks = counter.locks();
            // JUCE's transport source takes its own CriticalSection in every getNextAudioBlock; the
            // message thread holds it only in its setters (a few stores, no I/O or allocation).
            outside = counter.locksOutside ({ AllocationCounter::locksOf (graph.transport) });
        }
        lockedBlocks += locks > 0 ? 1 : 0;
        if (allocations + frees + outside == 0)
            return {};
        return "allocations " + juce::String (allocations) + ", frees " + juce::String (frees) + ", other locks " + juce::String (outside);
    }

    int lockedBlocks = 0;
};
} // namespace

TEST (AudioThreadLocks, RouterWithTheRealGuideSourcesNeitherAllocatesNorTakesAnotherLock)
{
    RealGuideGraph g;
    juce::StringArray offences;
    // Each phase renders on a thread of its own, as the device's would (the message thread logs
    // directly, which the audio thread never does); the setters run between phases.
    const auto steps = [&] (const char* what, int blocks, int n = RealGuideGraph::block)
    {
        std::thread audio ([&]
        {
            for (int i = 0; i < blocks; ++i)
                if (const auto offence = g.renderCounted (n); offence.isNotEmpty())
                    offences.add (juce::String (what) + ": " + offence);
        });
        audio.join();
    };

    // Warm-up: the first blocks fill caches of the libraries below (not steady state).
    for (int i = 0; i < 20; ++i)
        g.graph.router.getNextAudioBlock (juce::AudioSourceChannelInfo (&g.buffer, 0, RealGuideGraph::block));

    steps ("constant-tempo metronome, cues, chunk-mapped track", 200);

    std::vector<double> beats;
    std::vector<int32_t> numbers;
    for (int i = 0; i < 64; ++i)
    {
        beats.push_back (0.25 * i);
        numbers.push_back (i % 4 + 1);
    }
    g.metronome.setBeatmap (beats, numbers);
    g.graph.loop.setNextReadPosition (0);
    g.metronome.setNextReadPosition (0);
    g.cues.setNextReadPosition (0);
    steps ("beat-map metronome", 200);

    g.metronome.setFixedClock (true, 180.0, 3, 4, 48000, false);
    steps ("fixed-clock metronome", 100);

    // A count before the song, run to its hand-off.
    g.graph.countState.onComplete = [] {};
    g.countIn.clickHighRef = g.metronome.getSelectedClicks().high;
    g.countIn.startCountIn ("coro", true);
    ASSERT_TRUE (g.countIn.isActive());
    steps ("count-in", 500);
    EXPECT_FALSE (g.countIn.isActive());

    g.graph.router.offline = true;
    steps ("offline", 50);
    steps ("offline, block larger than prepared", 6, 4 * RealGuideGraph::block);

    EXPECT_TRUE (offences.isEmpty()) << offences.joinIntoString ("\n");
    // The scenario did what it says: the transport's lock was seen (the counter works on this path),
    // and the chunk map counted its undecoded spans.
    EXPECT_GT (g.lockedBlocks, 0);
    EXPECT_GT (g.misses.load(), 0);
}
