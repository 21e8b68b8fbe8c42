// The group chains rendered on the pool's threads against the same song rendered serially: the
// same samples block by block, with a stalled worker, across device restarts, and without
// allocations or blocking locks on the audio thread or the workers.

#include "tests/support/AllocationCounter.h"
#include "SongGraphFixture.h"

#include <gtest/gtest.h>

#include <array>
#include <optional>

using namespace quorvelle;
using namespace quorvelle::test;

namespace
{
constexpr double rate = 48000.0;
constexpr int stems = 40;

// The song of these tests: 40 stems in 16 buses, live stretch 1.1 / +2 semitones (or bypassed), a
// 2.5-second loop that wraps, and a seek at block `seekBlock`.
struct Song
{
    explicit Song (int workers, bool liveStretch = true, double seconds = 4.0) : graph (stems, rate, rate, seconds)
    {
        graph.pool.setWorkerCount (workers);
        graph.setBypass (! liveStretch);
        graph.setStretch (liveStretch ? 1.1f : 1.0f, liveStretch ? 2.0f : 0.0f);
    }

    void prepare (int block, double deviceRate = rate)
    {
        graph.prepare (block, deviceRate);
        graph.loop.setLoopRegion ((int64_t) (0.5 * rate), (int64_t) (3.0 * rate), true);
    }

    // Renders `blocks` blocks of `block` frames, appending both channels of each to `out`.
    void render (int blocks, int block, std::vector<float>& out, int seekBlock = -1, const std::function<void (int)>& beforeBlock = {})
    {
        juce::AudioBuffer<float> buffer (2, block);
        for (int b = 0; b < blocks; ++b)
        {
            if (beforeBlock)
                beforeBlock (b);
            if (b == seekBlock)
                graph.loop.requestSeek ((int64_t) (1.25 * rate));
            graph.router.getNextAudioBlock (juce::AudioSourceChannelInfo (&buffer, 0, block));
            for (int c = 0; c < 2; ++c)
                out.insert (out.end(), buffer.getReadPointer (c), buffer.getReadPointer (c) + block);
        }
    }

    SongGraphFixture graph;
};

// Index of the first block whose samples differ (bit for bit), or -1.
int firstDifferentBlock (const std::vector<float>& a, const std::vector<float>& b, int block)
{
    if (a.size() != b.size())
        return 0;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::memcmp (&a[i], &b[i], sizeof (float)) != 0)
            return (int) (i / (2 * (size_t) block));
    return -1;
}

int threadCount()
{
    return juce::File ("/proc/self/task").getNumberOfChildFiles (juce::File::findDirectories);
}

double rms (const std::vector<float>& samples)
{
    double sum = 0.0;
    for (auto s : samples)
        sum += (double) s * s;
    return samples.empty() ? 0.0 : std::sqrt (sum / (double) samples.size());
}
} // namespace

TEST (BusRenderPool, RendersTheSameSamplesAsSerialBlockByBlock)
{
    constexpr int block = 128, blocks = 2000, seekBlock = 1300;
    struct Row
    {
        int workers;
        bool liveStretch;
        bool pooled; // the rule sends the pulls to the pool
    };
    const Row rows[] = { { 1, true, true }, { 3, true, true }, { 7, true, true }, { 3, false, false } };

    std::vector<float> serialStretched, serialBypassed;
    for (auto [reference, liveStretch] : { std::pair { &serialStretched, true }, std::pair { &serialBypassed, false } })
    {
        Song song (0, liveStretch);
        song.prepare (block);
        song.render (blocks, block, *reference, seekBlock);
        EXPECT_EQ (song.graph.pool.pooledPulls.load(), 0);
        EXPECT_GT (rms (*reference), 1.0e-3); // the song is heard
    }

    for (const auto& row : rows)
    {
        SCOPED_TRACE (testing::Message() << "workers " << row.workers << (row.liveStretch ? ", live stretch" : ", bypassed"));
        Song song (row.workers, row.liveStretch);
        song.prepare (block);
        std::vector<float> pooled;
        song.render (blocks, block, pooled, seekBlock);

        EXPECT_EQ (firstDifferentBlock (row.liveStretch ? serialStretched : serialBypassed, pooled, block), -1);
        EXPECT_EQ (song.graph.pool.pooledPulls.load() > 0, row.pooled);
        if (row.pooled)
            EXPECT_GT (song.graph.pool.chainsTakenByWorkers.load(), 0);
        EXPECT_TRUE (song.graph.loop.loopFired.load()); // the loop wrapped
    }
}

TEST (BusRenderPool, AStalledWorkerLosesNoAudio)
{
    constexpr int block = 256, blocks = 300, stallFrom = 50, stallUntil = 120;

    std::vector<float> serial;
    {
        Song song (0);
        song.prepare (block);
        song.render (blocks, block, serial);
    }

    // Worker 0 is held inside its wake for 70 blocks, as if the system had descheduled it.
    Song song (3);
    std::atomic<bool> holdWorker { false };
    std::atomic<int> stalls { 0 };
    juce::WaitableEvent released;
    song.graph.pool.onWorkerWake = [&] (int worker)
    {
        if (worker != 0 || ! holdWorker.load())
            return;
        stalls.fetch_add (1);
        released.wait (20000);
    };
    song.prepare (block);

    int64_t pulledDuringStall = 0;
    std::vector<float> pooled;
    song.render (blocks, block, pooled, -1, [&] (int b)
                 {
                     if (b == stallFrom)
                     {
                         holdWorker = true;
                         pulledDuringStall = song.graph.pool.pooledPulls.load();
                     }
                     if (b == stallUntil)
                     {
                         pulledDuringStall = song.graph.pool.pooledPulls.load() - pulledDuringStall;
                         holdWorker = false;
                         released.signal();
                     }
                 });

    EXPECT_EQ (stalls.load(), 1);
    EXPECT_GE (pulledDuringStall, stallUntil - stallFrom); // the pool kept rendering without it
    EXPECT_EQ (firstDifferentBlock (serial, pooled, block), -1);
}

TEST (BusRenderPool, NeitherTheAudioThreadNorAWorkerAllocatesOrLocks)
{
    constexpr int block = 256;
    Song song (3);
    std::array<std::optional<AllocationCounter>, BusRenderPool::maxWorkers> counters;
    std::atomic<long long> workerAllocations { 0 }, workerLocks { 0 }, counted { 0 };
    std::atomic<bool> counting { false };
    song.graph.pool.onWorkerWake = [&] (int worker)
    {
        if (counting.load())
            counters[(size_t) worker].emplace();
    };
    song.graph.pool.onWorkerIdle = [&] (int worker)
    {
        auto& counter = counters[(size_t) worker];
        if (! counter.has_value())
            return;
        workerAllocations += counter->allocations() + counter->frees();
        workerLocks += counter->locks();
        counted += 1;
        counter.reset();
    };
    song.prepare (block);

    juce::AudioBuffer<float> buffer (2, block);
    // Warm-up: the first blocks fill caches of the libraries below (not steady state).
    for (int i = 0; i < 50; ++i)
        song.graph.router.getNextAudioBlock (juce::AudioSourceChannelInfo (&buffer, 0, block));

    counting = true;
    const auto takenBefore = song.graph.pool.chainsTakenByWorkers.load();
    long long audioAllocations = 0, audioLocks = 0;
    for (int b = 0; b < 600; ++b)
    {
        if (b == 300)
            song.graph.loop.requestSeek ((int64_t) (1.0 * rate)); // every stretcher restarts
        AllocationCounter counter;
        song.graph.router.getNextAudioBlock (juce::AudioSourceChannelInfo (&buffer, 0, block));
        audioAllocations += counter.allocations() + counter.frees();
        audioLocks += counter.locksOutside ({ AllocationCounter::locksOf (song.graph.transport) });
    }
    counting = false;
    song.graph.router.releaseResources(); // joins the workers: every count is in

    EXPECT_EQ (audioAllocations, 0);
    EXPECT_EQ (audioLocks, 0);
    EXPECT_GT (song.graph.pool.chainsTakenByWorkers.load(), takenBefore);
    EXPECT_GT (counted.load(), 0);
    EXPECT_EQ (workerAllocations.load(), 0);
    EXPECT_EQ (workerLocks.load(), 0);
}

TEST (BusRenderPool, DeviceRestartsAndRateChangesLeaveNoThreadOrStaleBuffer)
{
    // Each setup is a device start after the previous one stopped: its blocks match a serial render
    // of the same setup, the new block size goes through the pool, and a stop leaves no worker.
    struct Setup
    {
        int block;
        double deviceRate;
    };
    const Setup setups[] = { { 128, 48000.0 }, { 1024, 44100.0 }, { 256, 96000.0 }, { 1024, 48000.0 } };
    const int threadsBefore = threadCount();

    Song pooledSong (3), serialSong (0);
    for (const auto& setup : setups)
    {
        SCOPED_TRACE (testing::Message() << setup.block << " frames at " << setup.deviceRate);
        std::vector<float> serial, pooled;
        serialSong.prepare (setup.block, setup.deviceRate);
        serialSong.render (60, setup.block, serial);
        serialSong.graph.router.releaseResources();

        const auto pullsBefore = pooledSong.graph.pool.pooledPulls.load();
        pooledSong.prepare (setup.block, setup.deviceRate);
        EXPECT_EQ (pooledSong.graph.pool.workerCount(), 3);
        pooledSong.render (60, setup.block, pooled);
        EXPECT_GE (pooledSong.graph.pool.pooledPulls.load() - pullsBefore, 60);
        pooledSong.graph.router.releaseResources();
        EXPECT_EQ (pooledSong.graph.pool.workerCount(), 0);

        EXPECT_EQ (firstDifferentBlock (serial, pooled, setup.block), -1);
    }
    EXPECT_EQ (threadCount(), threadsBefore);
}
