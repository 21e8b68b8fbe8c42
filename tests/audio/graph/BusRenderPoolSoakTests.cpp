// Ten minutes of the song graph with live stretch on all 16 buses, rendered through the bus render
// pool on the Virtual device's real-time clock (256 frames at 48 kHz): no block may take longer
// than its own duration. A long test: labelled "long", which the default run leaves out.
// QUORVELLE_SOAK_SECONDS shortens it for a trial run.

#include "RealTimeDevice.h"
#include "SongGraphFixture.h"

#include "tests/support/MessageLoop.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

using namespace quorvelle;
using namespace quorvelle::test;

namespace
{
// Times every block of the source it wraps against the block's duration.
class BlockTimer : public juce::AudioSource
{
public:
    explicit BlockTimer (juce::AudioSource& s) : source (s) {}

    void prepareToPlay (int block, double rate) override
    {
        source.prepareToPlay (block, rate);
        sampleRate = rate;
    }
    void releaseResources() override { source.releaseResources(); }
    void getNextAudioBlock (const juce::AudioSourceChannelInfo& info) override
    {
        const auto start = std::chrono::steady_clock::now();
        source.getNextAudioBlock (info);
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
        const double fraction = elapsed.count() * sampleRate / info.numSamples;
        blocks.fetch_add (1);
        if (fraction > 1.0)
            missed.fetch_add (1);
        auto largest = worst.load();
        while (fraction > largest && ! worst.compare_exchange_weak (largest, fraction))
        {
        }
    }

    std::atomic<int64_t> blocks { 0 }, missed { 0 };
    std::atomic<double> worst { 0.0 };

private:
    juce::AudioSource& source;
    double sampleRate = 48000.0;
};

int soakSeconds()
{
    const char* text = std::getenv ("QUORVELLE_SOAK_SECONDS");
    return text != nullptr && std::atoi (text) > 0 ? std::atoi (text) : 600;
}
} // namespace

TEST (BusRenderPoolSoak, TenMinutesOfLiveStretchOnAll16BusesMissNoBlock)
{
    RealTimeDevice::devices().reset();
    RealTimeDevice::devices().setCaptureEnabled (false);

    SongGraphFixture graph (40, 48000.0, 48000.0, 12.0);
    graph.setStretch (1.1f, 2.0f);
    graph.setBypass (false);
    graph.loop.setLoopRegion (0, (int64_t) (10.0 * 48000.0), true);
    graph.transport.start();
    BlockTimer timer (graph.router);

    RealTimeDevice device;
    device.start (timer, 48000.0, 256);
    const int seconds = soakSeconds();
    runMessageLoopFor (seconds * 1000);
    device.stop();

    const auto expectedBlocks = (int64_t) (seconds * 48000.0 / 256);
    std::cout << "soak: " << seconds << " s, " << timer.blocks.load() << " blocks (" << expectedBlocks << " due), " << timer.missed.load()
              << " missed, worst block " << timer.worst.load() << " of its duration, workers " << BusRenderPool::automaticWorkerCount()
              << ", pooled pulls " << graph.pool.pooledPulls.load() << std::endl;
    EXPECT_GT (graph.pool.pooledPulls.load(), 0);
    EXPECT_GE (timer.blocks.load(), expectedBlocks * 99 / 100); // the clock kept pace
    EXPECT_EQ (timer.missed.load(), 0);
}
