#pragma once

#include <juce_audio_basics/juce_audio_basics.h>

#include <semaphore.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace quorvelle
{
// Renders the independent chains of one pull (the group buses, from their tracks' mixer to their
// tap) on several threads at once, then sums them in their fixed order, so the sum is the same
// samples as rendering them one after another.
//
// Threads: `start` and `stop` on the thread that starts and stops the device, never while a pull is
// in flight; `renderAndSum` on the audio thread only. Per pull the audio thread publishes the job,
// wakes the sleeping workers, takes chains from the same atomic counter as they do, and then waits
// for the last chain (a short spin, then a semaphore a worker posts). Progress never depends on a
// worker: the audio thread renders every chain no worker has taken. A chain is rendered by exactly
// one thread in a pull; the caller keeps the chains alive (and unchanged) until `renderAndSum`
// returns.
//
// Owns: the workers and one scratch buffer per chain, allocated at `start`. The realtime promise:
// `renderAndSum` and the workers' loop neither allocate nor lock; a worker's only call that wakes
// the audio thread is a semaphore post.
class BusRenderPool final
{
public:
    static constexpr int maxWorkers = 8;
    static constexpr int maxChains = 32;
    static constexpr int maxChannels = 2;
    // Chains with live stretch a pull needs before dispatching pays (bypassed chains cost less than
    // waking a worker).
    static constexpr int minLiveChains = 2;

    // The machine's cores minus one, at most maxWorkers.
    static int automaticWorkerCount() noexcept;
    static bool pays (int liveChains) noexcept { return liveChains >= minLiveChains; }

    BusRenderPool();
    ~BusRenderPool();
    BusRenderPool (const BusRenderPool&) = delete;
    BusRenderPool& operator= (const BusRenderPool&) = delete;

    // Workers the next `start` runs: -1 chooses automaticWorkerCount(), 0 renders serially.
    void setWorkerCount (int count) noexcept { requestedWorkers.store (count); }

    // Stops any earlier workers, allocates the scratch buffers for pulls of up to `maxBlockSamples`
    // and starts the workers (realtime priority where the system allows it).
    void start (int maxBlockSamples);
    // Wakes and joins every worker; idempotent.
    void stop();

    bool isRunning() const noexcept { return running.load (std::memory_order_acquire); }
    int workerCount() const noexcept { return (int) workers.size(); }
    int capacity() const noexcept { return scratchSamples; }

    // Audio thread. Renders sources[0..count) each into its own scratch buffer (n samples, the
    // channels of `info`), writes the first into `info` and adds the others in order. Returns false
    // without rendering anything when the pool cannot take the pull (not running, no worker, more
    // chains or channels than it holds, a pull longer than its capacity).
    bool renderAndSum (juce::AudioSource* const* sources, int count, const juce::AudioSourceChannelInfo& info) noexcept;

    // Test hooks, set before `start`: a worker calls `onWorkerWake` when it wakes for a pull, before
    // it takes a chain, and `onWorkerIdle` when it found no chain left.
    std::function<void (int worker)> onWorkerWake;
    std::function<void (int worker)> onWorkerIdle;

    // Diagnostics: pulls rendered through the pool, and chains the workers took.
    std::atomic<int64_t> pooledPulls { 0 };
    std::atomic<int64_t> chainsTakenByWorkers { 0 };

private:
    class Worker;

    // Takes chains of the job published as `generation` until none is left; returns how many.
    int takeChains (uint32_t generation) noexcept;
    void renderChain (int index) noexcept;
    void workerLoop (int worker);
    void waitForChains() noexcept;

    std::atomic<int> requestedWorkers { -1 };
    std::vector<std::unique_ptr<Worker>> workers;
    std::atomic<bool> running { false };
    std::atomic<bool> stopping { false };

    std::vector<juce::AudioBuffer<float>> scratch;
    int scratchSamples = 0;

    // The job: written by the audio thread before it publishes `claim`; read by a thread only after
    // it took a chain of that job, which the audio thread waits for before writing the next one.
    juce::AudioSource* const* jobSources = nullptr;
    int jobCount = 0, jobSamples = 0, jobChannels = 0;
    intptr_t jobFpState = 0;

    // High 32 bits: the job's generation; low 32 bits: the next chain to take.
    std::atomic<uint64_t> claim { 0 };
    // The generation the workers sleep on (a futex word).
    std::atomic<uint32_t> wakeWord { 0 };
    std::atomic<int> sleepingWorkers { 0 };
    std::atomic<int> chainsDone { 0 };
    uint32_t generation = 0;

    // The audio thread sleeps on `finished` once it has set `audioWaiting`; the worker that finishes
    // the last chain posts it only if it took the flag.
    std::atomic<bool> audioWaiting { false };
    sem_t finished;
};
} // namespace quorvelle
