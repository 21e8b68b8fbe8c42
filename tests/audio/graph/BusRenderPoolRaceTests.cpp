// The song graph rendering its group chains on the bus render pool, on the Virtual device's
// real-time clock, while the message thread changes tracks, buses, routes, stretch bypass and gains
// and restarts the device at other rates. The assertions check that rendering carried on through
// the pool and that a stop leaves no worker; the races themselves are judged by ThreadSanitizer
// (scripts/tsan-audio-graph.sh builds and runs these cases with it).

#include "RealTimeDevice.h"
#include "SongGraphFixture.h"

#include "tests/support/MessageLoop.h"

#include <gtest/gtest.h>

using namespace quorvelle;
using namespace quorvelle::test;

namespace
{
class AudioRacePool : public ::testing::Test
{
protected:
    void SetUp() override
    {
        RealTimeDevice::devices().reset();
        graph.pool.setWorkerCount (3);
        graph.setStretch (1.1f, 2.0f);
        graph.setBypass (false);
        graph.loop.setLoopRegion (0, (int64_t) (2.0 * 48000.0), true);
        graph.transport.start();
        device.start (graph.router, 48000.0, 128);
    }

    void TearDown() override { device.stop(); }

    // The device keeps delivering blocks, rendered through the pool.
    void expectPooledRendering()
    {
        const auto before = graph.pool.pooledPulls.load();
        EXPECT_TRUE (runMessageLoopUntil ([&] { return graph.pool.pooledPulls.load() > before + 20; }, 20000));
    }

    SongGraphFixture graph { 24, 48000.0, 48000.0, 3.0 };
    RealTimeDevice device;
};
} // namespace

TEST_F (AudioRacePool, TrackBusRouteAndBypassChangesAndRestartsWhileWorkersRender)
{
    expectPooledRendering();

    // The last track leaves its bus and then joins and leaves the others in turn.
    auto* spare = graph.tracks.back()->tap.get();
    auto* home = &graph.groups[(graph.tracks.size() - 1) % 16];
    home->mixer.removeInputSource (spare);
    home = nullptr;

    const auto end = juce::Time::getMillisecondCounter() + 1500;
    for (int i = 0; juce::Time::getMillisecondCounter() < end; ++i)
    {
        auto& group = graph.groups[i % 16];
        switch (i % 5)
        {
            case 0:
                if (home != nullptr)
                    home->mixer.removeInputSource (spare);
                home = &group;
                home->mixer.addInputSource (spare);
                break;
            case 1: group.stretch->bypass = ! group.stretch->bypass.load(); break; // the rule's count changes
            case 2: group.gain->setGain ((float) (i % 4) * 0.25f, 0.02f); break;
            case 3: graph.router.setRouting (group.name, i % 2 == 0 ? 0 : 2, i % 3 != 0); break;
            default: group.stretch->semitones = (float) (i % 5); break;
        }
        if (i % 40 == 39)
            device.open (i % 80 == 79 ? 48000.0 : 44100.0); // the device restarts: workers stop and start again
        runMessageLoopFor (1);
    }

    graph.setBypass (false);
    expectPooledRendering();
    EXPECT_EQ (graph.pool.workerCount(), 3);

    device.manager.closeAudioDevice();
    EXPECT_EQ (graph.pool.workerCount(), 0);
    EXPECT_FALSE (graph.pool.isRunning());
}
